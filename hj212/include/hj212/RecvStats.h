// The receive counters: one table of their order and names, which the engine's publishing, its
// stats(), the "GetStats" command and the tools all read.
#pragma once

#include <cstdint>

namespace HJ {

// Receive counters since the engine was made (so since InitDevice).
struct RecvStats {
  std::uint64_t accepted = 0;       // frames that passed the acceptance test
  std::uint64_t bad_length = 0;     // "\r\n"-terminated spans without a frame, length field wrong
  std::uint64_t bad_crc = 0;        // the same, length field right and CRC wrong
  std::uint64_t dropped = 0;        // frames lost from the full queue
  std::uint64_t overlong = 0;       // spans given up without a "\r\n" within the largest frame
  std::uint64_t noise_bytes = 0;    // bytes read that ended in no accepted frame
  std::uint64_t received_bytes = 0; // every byte read from the port
  std::uint64_t decrypted = 0;      // accepted frames whose CP region was decrypted
  std::uint64_t cut_short = 0;      // candidates skipped for want of CRC work, decryption credit or room to follow
};

// A counter as scripts and tools name it.
struct RecvCounter {
  const char* name;
  std::uint64_t RecvStats::*member;
};
// In "GetStats"'s argument order.
constexpr RecvCounter kRecvCounters[] = {
    {"Accepted", &RecvStats::accepted},
    {"BadLength", &RecvStats::bad_length},
    {"BadCrc", &RecvStats::bad_crc},
    {"Dropped", &RecvStats::dropped},
    {"Overlong", &RecvStats::overlong},
    {"NoiseBytes", &RecvStats::noise_bytes},
    {"ReceivedBytes", &RecvStats::received_bytes},
    {"Decrypted", &RecvStats::decrypted},
    {"CutShort", &RecvStats::cut_short},
};
constexpr int kRecvCounterCount = static_cast<int>(sizeof kRecvCounters / sizeof kRecvCounters[0]);

} // namespace HJ
