// Configuration bytes as the panel stores them, built by hand so tests do not depend on the
// plug-in's own writer: optional version word, parameter count, parameters, row count, rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

struct Row {
  int32_t group = 1;
  int32_t st = 32;
  std::string factor = "w01018";
  std::string name = "COD";
  int32_t channelType = 2;
  int32_t factorType = 1;
  int32_t rw = 0;
};

inline void PutInt(std::string& bytes, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
}

inline void PutText(std::string& bytes, const std::string& text) {
  PutInt(bytes, static_cast<int32_t>(text.size()));
  bytes += text;
}

// version 0: no version word.
inline std::string ConfigBytes(const std::vector<int32_t>& params, const std::vector<Row>& rows, unsigned version = 20000) {
  std::string bytes;
  if (version != 0) {
    bytes.push_back(static_cast<char>(version & 0xFF));
    bytes.push_back(static_cast<char>((version >> 8) & 0xFF));
  }
  PutInt(bytes, static_cast<int32_t>(params.size()));
  for (int32_t p : params) PutInt(bytes, p);
  PutInt(bytes, static_cast<int32_t>(rows.size()));
  for (const Row& r : rows) {
    PutInt(bytes, r.group);
    PutInt(bytes, r.st);
    PutText(bytes, r.factor);
    PutText(bytes, r.name);
    PutInt(bytes, r.channelType);
    PutInt(bytes, r.factorType);
    PutInt(bytes, r.rw);
  }
  return bytes;
}

inline const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

} // namespace fake
