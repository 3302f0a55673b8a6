#include "Charset.h"

#include <cerrno>
#include <iconv.h>

namespace HJ {
namespace {

// One conversion with iconv, skipping input the converter refuses. A character of either set
// never takes more than 4 bytes in the other, nor more than twice its own size plus one.
bool convert(const char* to, const char* from, const std::string& text, std::string& out) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string converted(text.size() * 2 + 4, '\0');
  char* input = const_cast<char*>(text.data());
  size_t inputLeft = text.size();
  char* output = &converted[0];
  size_t outputLeft = converted.size();
  while (inputLeft > 0) {
    if (iconv(converter, &input, &inputLeft, &output, &outputLeft) != static_cast<size_t>(-1)) break;
    if (errno != EILSEQ && errno != EINVAL) break; // E2BIG cannot happen with the room above
    // Skip the byte that cannot be read (or an incomplete sequence at the end) and go on.
    if (inputLeft == 0) break;
    ++input;
    --inputLeft;
  }
  iconv(converter, nullptr, nullptr, &output, &outputLeft); // flush any pending shift state
  iconv_close(converter);
  converted.resize(converted.size() - outputLeft);
  out.swap(converted);
  return true;
}

} // namespace

bool utf8_to_gb18030(const std::string& text, std::string& out) { return convert("GB18030//IGNORE", "UTF-8", text, out); }

bool gb18030_to_utf8(const std::string& bytes, std::string& out) { return convert("UTF-8//IGNORE", "GB18030", bytes, out); }

bool is_utf8(const char* bytes, std::size_t length) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t i = 0;
  while (i < length) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t more = 0;
    unsigned char low = 0x80; // bounds of the second byte, which rule out overlong forms,
    unsigned char high = 0xBF; // surrogates and values above U+10FFFF
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
      return false;
    }
    if (length - i <= more) return false;
    if (s[i + 1] < low || s[i + 1] > high) return false;
    for (std::size_t k = 2; k <= more; ++k)
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    i += more + 1;
  }
  return true;
}

std::string received_text(const std::string& bytes) {
  if (is_utf8(bytes.data(), bytes.size())) return bytes;
  std::string text;
  if (!gb18030_to_utf8(bytes, text)) return bytes;
  return text;
}

} // namespace HJ
