// The HJ 212 CRC bit by bit, as the standard describes it: the tools' tests check the frames the
// tools make against this, not against the table-driven engine that made them.
#pragma once

#include <cstdint>
#include <string>

inline std::string reference_crc(const std::string& data) {
  unsigned reg = 0xFFFF;
  for (unsigned char byte : data) {
    reg = (reg >> 8) ^ byte;
    for (int i = 0; i < 8; ++i) reg = (reg & 1u) ? (reg >> 1) ^ 0xA001u : reg >> 1;
  }
  static const char kHex[] = "0123456789ABCDEF";
  return {kHex[(reg >> 12) & 0xF], kHex[(reg >> 8) & 0xF], kHex[(reg >> 4) & 0xF], kHex[reg & 0xF]};
}
