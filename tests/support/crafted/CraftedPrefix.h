// Bytes a hostile line sends in front of an intact frame to make it cost that frame: the tests,
// the framing fuzzer and the benchmarks put each shape before a frame, which must still come out.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "hj212/Envelope.h"

namespace crafted {

enum class Shape {
  None,
  // A data-command header announcing 9999 bytes, ended at once, then `count` empty spans ("##\r\n"):
  // with a key it is followed beyond its span, and the spans' verdicts are held back meanwhile.
  HeldSpans,
  // `count` "##" each announcing its own distance to the frame's end: each would cost CRC work.
  Starts,
  // `count` data-command headers ended early by "\r\n", each announcing the frame's end: followed
  // there, each would cost decryption credit.
  Headers,
};

inline std::string Prefix(Shape shape, std::size_t count, const std::string& frame) {
  std::string prefix;
  if (shape == Shape::HeldSpans) {
    prefix = "##9999QN=1;ST=32;CN=2011;CP=&&x\r\n";
    for (std::size_t i = 0; i < count; ++i) prefix += "##\r\n";
    return prefix;
  }
  if (shape == Shape::None) return prefix;
  const std::string header = shape == Shape::Headers ? "ST=32;CN=2011;CP=&&\r\n" : "";
  const std::size_t each = 6 + header.size(), total = count * each + frame.size();
  for (std::size_t i = 0; i < count; ++i) {
    char field[8];
    std::snprintf(field, sizeof field, "%04zu", total - i * each - HJ::kEnvelopeBytes);
    prefix += "##" + std::string(field) + header;
  }
  return prefix;
}

} // namespace crafted
