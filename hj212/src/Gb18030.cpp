#include "Gb18030.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "hj212/Charset.h"

namespace HJ {
namespace {

#include "Gb18030Tables.inc"

using Byte = unsigned char;
constexpr std::uint32_t kFourByteSpan = 12600;         // codes per first byte of a four-byte code
constexpr std::uint32_t kBeyondBmpFirst = 0x90 - 0x81; // 90 30 81 30 is U+10000
constexpr std::uint32_t kBeyondBmpCodes = 0x100000;

bool lead(Byte c) { return c >= 0x81 && c <= 0xFE; }
bool digit(Byte c) { return c >= 0x30 && c <= 0x39; }

// The code point of a four-byte code by its index from 81 30 81 30, or 0 for none.
std::uint32_t four_byte_code_point(std::uint32_t index) {
  if (index >= kBeyondBmpFirst * kFourByteSpan) {
    std::uint32_t beyond = index - kBeyondBmpFirst * kFourByteSpan;
    return beyond < kBeyondBmpCodes ? 0x10000 + beyond : 0;
  }
  if (index >= kFourByteCodes) return 0;
  auto run =
      std::upper_bound(std::begin(kFourByteRuns), std::end(kFourByteRuns), index, [](std::uint32_t at, const auto& r) { return at < r.index; }) - 1;
  return run->code_point == 0 ? 0 : run->code_point + (index - run->index);
}

// The GB18030 character at s[at]: its length (0: none starts there) and code point.
std::size_t read_gb18030(const Byte* s, std::size_t at, std::size_t size, std::uint32_t& code_point) {
  Byte first = s[at];
  if (first < 0x80) return code_point = first, 1;
  if (!lead(first) || size - at < 2) return 0;
  Byte second = s[at + 1];
  if ((second >= 0x40 && second <= 0x7E) || (second >= 0x80 && second <= 0xFE)) {
    code_point = kTwoByte[(first - 0x81) * 190 + second - (second < 0x80 ? 0x40 : 0x41)];
    return 2;
  }
  if (!digit(second) || size - at < 4 || !lead(s[at + 2]) || !digit(s[at + 3])) return 0;
  std::uint32_t index = ((first - 0x81) * 10u + (second - 0x30)) * 1260u + (s[at + 2] - 0x81) * 10u + (s[at + 3] - 0x30);
  code_point = four_byte_code_point(index);
  return code_point == 0 ? 0 : 4;
}

// The well-formed UTF-8 character at text[at], by Charset.h's rule: its length (0: none starts
// there) and code point.
std::size_t read_utf8(const std::string& text, std::size_t at, std::uint32_t& code_point) {
  const std::size_t length = utf8_char_length(text.data(), at, text.size());
  const Byte first = static_cast<Byte>(text[at]);
  code_point = length <= 1 ? first : first & (0x3F >> (length - 1));
  for (std::size_t k = 1; k < length; ++k) code_point = code_point << 6 | (static_cast<Byte>(text[at + k]) & 0x3F);
  return length;
}

void append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::uint32_t four_byte_code(std::uint32_t index) {
  return (0x81 + index / kFourByteSpan) << 24 | (0x30 + index / 1260 % 10) << 16 | (0x81 + index / 10 % 126) << 8 | (0x30 + index % 10);
}

// The GB18030 code of each code point that tables hold (bytes packed high first: below 0x100 one
// byte, below 0x10000 two, else four): every BMP one (0: none), and those beyond it that a two-byte
// code reads as (written so, not in four bytes).
struct Codes {
  std::vector<std::uint32_t> bmp;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> beyond; // sorted by code point
};

const Codes& codes() {
  static const Codes made = [] {
    Codes c;
    c.bmp.assign(0x10000, 0);
    for (std::uint32_t ascii = 0; ascii < 0x80; ++ascii) c.bmp[ascii] = ascii;
    for (std::uint32_t i = 0; i < 126 * 190; ++i) {
      std::uint32_t trail = i % 190;
      std::uint32_t code = (0x81 + i / 190) << 8 | (trail + (trail < 0x3F ? 0x40 : 0x41));
      if (kTwoByte[i] >= 0x10000) c.beyond.emplace_back(kTwoByte[i], code);
      else if (c.bmp[kTwoByte[i]] == 0) c.bmp[kTwoByte[i]] = code;
    }
    std::sort(c.beyond.begin(), c.beyond.end());
    for (std::uint32_t index = 0; index < kFourByteCodes; ++index) {
      std::uint32_t point = four_byte_code_point(index);
      if (point != 0 && c.bmp[point] == 0) c.bmp[point] = four_byte_code(index);
    }
    for (const auto& w : kWrittenOtherwise)
      if (w.code_point != 0 && w.code_point < 0x10000)
        c.bmp[w.code_point] = std::uint32_t(w.bytes[0]) << 24 | w.bytes[1] << 16 | w.bytes[2] << 8 | w.bytes[3];
    return c;
  }();
  return made;
}

// Appends the GB18030 code of `c`; false when it has none.
bool append_gb18030(std::string& out, std::uint32_t c) {
  const Codes& known = codes();
  std::uint32_t code = 0;
  if (c >= 0x10000) {
    auto two = std::lower_bound(known.beyond.begin(), known.beyond.end(), std::make_pair(c, std::uint32_t(0)));
    code = two != known.beyond.end() && two->first == c ? two->second : four_byte_code(kBeyondBmpFirst * kFourByteSpan + (c - 0x10000));
  } else {
    code = known.bmp[c];
    if (code == 0 && c != 0) return false;
  }
  if (code >= 0x1000000) out += static_cast<char>(code >> 24), out += static_cast<char>(code >> 16);
  if (code >= 0x100) out += static_cast<char>(code >> 8);
  out += static_cast<char>(code);
  return true;
}

} // namespace

void gb18030_to_utf8_by_table(const std::string& bytes, std::string& out) {
  const Byte* s = reinterpret_cast<const Byte*>(bytes.data());
  std::string text;
  text.reserve(bytes.size() + bytes.size() / 2);
  for (std::size_t at = 0; at < bytes.size();) {
    std::uint32_t c = 0;
    std::size_t n = read_gb18030(s, at, bytes.size(), c);
    if (n != 0) append_utf8(text, c);
    at += n != 0 ? n : 1;
  }
  out.swap(text);
}

void utf8_to_gb18030_by_table(const std::string& text, std::string& out) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t c = 0;
    std::size_t n = read_utf8(text, at, c);
    // a character with no code goes whole: its continuation bytes start none either
    if (n != 0 && !append_gb18030(bytes, c)) n = 0;
    at += n != 0 ? n : 1;
  }
  out.swap(bytes);
}

} // namespace HJ
