// Configuration bytes for the tests, written with the simulator's own field-by-field writer,
// which does not use the plug-in's classes.
#pragma once

#include <string>
#include <vector>

#include "tools/common/ConfigWriter.h"

namespace fake {

struct Row : sim::ChannelRow {
  Row() {
    factor = "w01018";
    name = "COD";
  }
};

// version 0: no version word.
inline std::string ConfigBytes(const std::vector<int32_t>& params, const std::vector<Row>& rows, unsigned version = 20000) {
  std::vector<sim::ChannelRow> plain(rows.begin(), rows.end());
  const sim::ConfigBytes written = sim::config_bytes(params, plain, static_cast<uint16_t>(version));
  return std::string(written.bytes().begin(), written.bytes().end());
}

inline const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

} // namespace fake
