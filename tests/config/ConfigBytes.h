// Builds configuration bytes field by field, little-endian, as the panel stores them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ConfigBytes {
public:
  ConfigBytes& Word(uint16_t v) {
    bytes_.push_back(static_cast<unsigned char>(v & 0xFF));
    bytes_.push_back(static_cast<unsigned char>(v >> 8));
    return *this;
  }
  ConfigBytes& Int(int64_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<unsigned char>((u >> shift) & 0xFF));
    return *this;
  }
  ConfigBytes& Raw(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  // Length field followed by the bytes.
  ConfigBytes& Text(const std::string& s) { return Int(static_cast<int64_t>(s.size())).Raw(s); }
  // A whole row: group, ST, factor, name, data type, factor data type, read/write.
  ConfigBytes& Row(uint32_t group, uint32_t st, const std::string& factor, const std::string& name, uint32_t dataType,
                   uint32_t factorType, uint32_t rw) {
    return Int(group).Int(st).Text(factor).Text(name).Int(dataType).Int(factorType).Int(rw);
  }
  const std::vector<unsigned char>& bytes() const { return bytes_; }
  const unsigned char* data() const { return bytes_.data(); }
  int size() const { return static_cast<int>(bytes_.size()); }

private:
  std::vector<unsigned char> bytes_;
};
