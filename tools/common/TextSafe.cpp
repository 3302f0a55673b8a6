#include "TextSafe.h"

#include "Charset.h"

namespace sim {

std::size_t safe_char_length(std::string_view text, std::size_t at, unsigned flags) {
  const unsigned char c = static_cast<unsigned char>(text[at]);
  if (c < 0x80) return (c >= 0x20 && c != 0x7F) || ((flags & kKeepLines) && (c == '\n' || c == '\t')) ? 1 : 0;
  const std::size_t n = HJ::utf8_char_length(text.data(), at, text.size());
  if (n < 2) return 0;
  const unsigned char d = static_cast<unsigned char>(text[at + 1]);
  if (n == 2) return c == 0xC2 && d < 0xA0 ? 0 : n; // C1 controls: a terminal obeys them too
  if (n != 3) return n;
  const unsigned char e = static_cast<unsigned char>(text[at + 2]);
  if (c == 0xE2 && d == 0x80 && e >= 0xAA && e <= 0xAE) return 0; // U+202A-U+202E
  if (c == 0xE2 && d == 0x81 && e >= 0xA6 && e <= 0xA9) return 0; // U+2066-U+2069
  if (c == 0xEF && d == 0xBF && e >= 0xBE) return 0;                // U+FFFE, U+FFFF
  return n;
}

std::string text_safe(std::string_view text, unsigned flags) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  std::size_t run = 0; // bytes from here on go out as they are, up to the next one escaped
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x7F && c != '\\') { // the usual byte, looked at once
      ++at;
      continue;
    }
    if (c == '\\') {
      ++at;
      if (flags & kDoubleBackslash) {
        out.append(text.substr(run, at - run));
        out += '\\';
        run = at;
      }
      continue;
    }
    const std::size_t n = safe_char_length(text, at, flags);
    if (n != 0) {
      at += n;
      continue;
    }
    out.append(text.substr(run, at - run));
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
    run = ++at;
  }
  out.append(text.substr(run));
  return out;
}

} // namespace sim
