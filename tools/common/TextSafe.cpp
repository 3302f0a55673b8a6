#include "TextSafe.h"

#include "hj212/Charset.h"

namespace sim {

bool is_bidi_control(std::string_view text, std::size_t at) {
  if (text.size() < at + 3 || text[at] != '\xE2') return false;
  const unsigned char b = static_cast<unsigned char>(text[at + 1]), c = static_cast<unsigned char>(text[at + 2]);
  return (b == 0x80 && c >= 0xAA && c <= 0xAE) || (b == 0x81 && c >= 0xA6 && c <= 0xA9);
}

std::size_t safe_char_length(std::string_view text, std::size_t at, unsigned flags) {
  const unsigned char c = static_cast<unsigned char>(text[at]);
  if (c < 0x80) return (c >= 0x20 && c != 0x7F) || ((flags & kKeepLines) && (c == '\n' || c == '\t')) ? 1 : 0;
  const std::size_t n = HJ::utf8_char_length(text.data(), at, text.size());
  if (n < 2) return 0;
  const unsigned char d = static_cast<unsigned char>(text[at + 1]);
  if (n == 2) return c == 0xC2 && d < 0xA0 ? 0 : n; // C1 controls: a terminal obeys them too
  if (n != 3) return n;
  const unsigned char e = static_cast<unsigned char>(text[at + 2]);
  if (is_bidi_control(text, at)) return 0;           // they reorder the text around them
  if (c == 0xEF && d == 0xBF && e >= 0xBE) return 0; // U+FFFE, U+FFFF
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
