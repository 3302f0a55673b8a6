#include "hj212/Charset.h"

#include "hj212/Envelope.h"

namespace HJ {
namespace {

// Length of the well-formed UTF-8 character at s[i] (1 to 4), or 0 when the byte there starts
// none. The bounds of the second byte rule out overlong forms, surrogates and values above U+10FFFF.
std::size_t utf8_length_at(const unsigned char* s, std::size_t i, std::size_t length) {
  unsigned char c = s[i];
  if (c < 0x80) return 1;
  std::size_t more = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    more = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    more = 2;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    more = 3;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (length - i <= more) return 0;
  if (s[i + 1] < low || s[i + 1] > high) return 0;
  for (std::size_t k = 2; k <= more; ++k)
    if (s[i + k] < 0x80 || s[i + k] > 0xBF) return 0;
  return more + 1;
}

// The well-formed UTF-8 characters of `bytes`, every byte that starts none dropped.
std::string utf8_dropping_bad_bytes(const std::string& bytes) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t n = utf8_length_at(s, i, bytes.size());
    if (n == 0) {
      ++i;
      continue;
    }
    text.append(bytes, i, n);
    i += n;
  }
  return text;
}

} // namespace

std::size_t utf8_char_length(const char* bytes, std::size_t at, std::size_t length) {
  return utf8_length_at(reinterpret_cast<const unsigned char*>(bytes), at, length);
}

bool is_utf8(const char* bytes, std::size_t length) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < length;) {
    std::size_t n = utf8_length_at(s, i, length);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_gb18030(const char* bytes, std::size_t length) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
  auto lead = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
  auto digit = [](unsigned char c) { return c >= 0x30 && c <= 0x39; };
  for (std::size_t i = 0; i < length;) {
    if (s[i] < 0x80) {
      ++i;
    } else if (!lead(s[i]) || i + 1 >= length) {
      return false;
    } else if ((s[i + 1] >= 0x40 && s[i + 1] <= 0x7E) || lead(s[i + 1]) || s[i + 1] == 0x80) {
      i += 2;
    } else if (digit(s[i + 1]) && i + 3 < length && lead(s[i + 2]) && digit(s[i + 3])) {
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string received_text(const std::string& bytes, WireCharset charset) {
  // Valid UTF-8 is no proof on a GB18030 line: C7 B0 (a Chinese character) reads as U+01F0.
  if (charset != kCharsetGb18030 && is_utf8(bytes.data(), bytes.size())) return bytes;
  // The charset Send would pick, the Flag read from the data segment between the envelope's
  // length field and its CRC; a UTF-8 line drops a broken character, not the frame.
  bool enveloped = bytes.size() >= kEnvelopeBytes && bytes.compare(0, 2, "##") == 0;
  if (utf8_on_wire(enveloped ? bytes.substr(kDataAt, bytes.size() - kEnvelopeBytes) : bytes, charset)) return utf8_dropping_bad_bytes(bytes);
  std::string text;
  if (!gb18030_to_utf8(bytes, text)) return bytes;
  return text;
}

bool utf8_on_wire(const std::string& data, WireCharset charset) {
  if (charset == kCharsetUtf8) return true;
  if (charset == kCharsetGb18030) return false;
  return flag_names_2025(header_flag(data));
}

std::string wire_bytes(const std::string& data, WireCharset charset) {
  std::string bytes;
  if (utf8_on_wire(data, charset) || !utf8_to_gb18030(data, bytes)) bytes = data; // no converter: the data's own bytes
  return bytes;
}

} // namespace HJ
