// The configuration bytes a panel stores for a device and hands to InitDevice, written field by
// field (little-endian, no padding) without the plug-in's own classes. Header-only: the panel
// simulator writes its devices' configurations with it, and the tests their inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class ConfigBytes {
public:
  ConfigBytes& Word(uint16_t v) {
    m_bytes.push_back(static_cast<unsigned char>(v & 0xFF));
    m_bytes.push_back(static_cast<unsigned char>(v >> 8));
    return *this;
  }
  ConfigBytes& Int(int64_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int shift = 0; shift < 32; shift += 8) m_bytes.push_back(static_cast<unsigned char>((u >> shift) & 0xFF));
    return *this;
  }
  ConfigBytes& Raw(const std::string& s) {
    m_bytes.insert(m_bytes.end(), s.begin(), s.end());
    return *this;
  }
  // Length field followed by the bytes.
  ConfigBytes& Text(const std::string& s) { return Int(static_cast<int64_t>(s.size())).Raw(s); }
  // A whole row: group, ST, factor, name, data type, factor data type, read/write.
  ConfigBytes& Row(uint32_t group, uint32_t st, const std::string& factor, const std::string& name, uint32_t dataType, uint32_t factorType,
                   uint32_t rw) {
    return Int(group).Int(st).Text(factor).Text(name).Int(dataType).Int(factorType).Int(rw);
  }
  const std::vector<unsigned char>& bytes() const { return m_bytes; }
  const unsigned char* data() const { return m_bytes.data(); }
  int size() const { return static_cast<int>(m_bytes.size()); }

private:
  std::vector<unsigned char> m_bytes;
};

struct ChannelRow {
  int32_t group = 1;
  int32_t st = 32;
  std::string factor;      // pollutant factor code, e.g. w01018
  std::string name;        // its name
  int32_t data_type = 2;   // channel data type
  int32_t factor_type = 2; // pollutant factor data type
  int32_t rw = 0;          // read/write type
};

// A whole configuration: the version word (0: none), parameter count and parameters, row count
// and rows. params[0] is the port timeout in seconds.
inline ConfigBytes config_bytes(const std::vector<int32_t>& params, const std::vector<ChannelRow>& rows, uint16_t version = 20000) {
  ConfigBytes out;
  if (version != 0) out.Word(version);
  out.Int(static_cast<int64_t>(params.size()));
  for (int32_t p : params) out.Int(p);
  out.Int(static_cast<int64_t>(rows.size()));
  for (const ChannelRow& r : rows)
    out.Row(static_cast<uint32_t>(r.group), static_cast<uint32_t>(r.st), r.factor, r.name, static_cast<uint32_t>(r.data_type),
            static_cast<uint32_t>(r.factor_type), static_cast<uint32_t>(r.rw));
  return out;
}

inline std::vector<uint8_t> build_config(const std::vector<int32_t>& params, const std::vector<ChannelRow>& rows) {
  return config_bytes(params, rows).bytes();
}

} // namespace sim
