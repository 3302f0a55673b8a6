// Input: 8 bytes choosing the chunk sizes (1..255, 255 meaning the whole rest), then the stream.
// The scanner, fed in those chunks, must give the frames a plain whole-stream reading gives, in
// the same order, and spend at most kCrcWorkPerByte CRC bytes per byte.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Envelope.h"
#include "FrameScanner.h"
#include "Hj212Text.h"

namespace {

// The acceptance rules read plainly: strtol on the length field, the tools' CRC, hex compared
// in upper case.
bool Accepts(std::string_view c) {
  if (c.size() <= HJ::kEnvelopeBytes) return false;
  char field[5] = {c[2], c[3], c[4], c[5], '\0'};
  long announced = std::strtol(field, nullptr, 10);
  if (announced < 0 || static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes != c.size()) return false;
  std::string got(c.substr(6 + static_cast<std::size_t>(announced), 4));
  for (char& ch : got) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return got == sim::crc_text(c.substr(6, static_cast<std::size_t>(announced)));
}

// Each "##" up to the first "\r\n" after it; a start whose bytes before the "\n" outgrow the
// largest frame gives way to the next "##" inside; a rejected candidate is retried from each
// later "##" before the "\r\n".
std::vector<std::string> Reference(std::string_view s) {
  std::vector<std::string> out;
  const std::size_t npos = std::string_view::npos;
  for (std::size_t pos = 0;;) {
    std::size_t start = s.find("##", pos);
    if (start == npos) return out;
    std::size_t cr = s.find("\r\n", start + 2);
    if (cr == npos) return out;
    std::size_t end = cr + 2;
    while (start != npos && end - start > HJ::kMaxFrameBytes + 1) {
      start = s.find("##", start + 1);
      if (start != npos && start + 1 >= cr) start = npos;
    }
    for (std::size_t at = start; at != npos && at + 1 < cr; at = s.find("##", at + 1)) {
      if (Accepts(s.substr(at, end - at))) {
        out.emplace_back(s.substr(at, end - at));
        break;
      }
    }
    pos = end;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint8_t* sizes = data;
  std::string_view stream(reinterpret_cast<const char*>(data + 8), size - 8);

  HJ::FrameScanner scanner;
  std::vector<std::string> got;
  std::size_t at = 0;
  for (int i = 0; at < stream.size(); i = (i + 1) % 8) {
    std::size_t n = sizes[i] == 255 ? stream.size() - at : sizes[i] + 1u;
    if (n > stream.size() - at) n = stream.size() - at;
    scanner.feed(stream.data() + at, n, [&](std::string&& f) { got.push_back(std::move(f)); });
    at += n;
  }
  if (scanner.counts().crc_bytes > HJ::FrameScanner::kCrcWorkPerByte * stream.size()) std::abort();
  // A span whose retries ran out of CRC work is given up on purpose: the reference has no bound.
  if (scanner.counts().cut_short == 0 && got != Reference(stream)) std::abort();
  return 0;
}
