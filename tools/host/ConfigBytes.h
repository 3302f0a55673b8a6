// The configuration bytes a panel stores for a device and hands to InitDevice.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct ChannelRow {
  int32_t group = 1;
  int32_t st = 32;
  std::string factor;      // pollutant factor code, e.g. w01018
  std::string name;        // its name
  int32_t data_type = 2;   // channel data type
  int32_t factor_type = 2; // pollutant factor data type
  int32_t rw = 0;          // read/write type
};

// Version word 20000 (little-endian), parameter count and parameters, row count and rows;
// texts as a 32-bit length and their bytes. params[0] is the port timeout in seconds.
std::vector<uint8_t> build_config(const std::vector<int32_t>& params, const std::vector<ChannelRow>& rows);

} // namespace sim
