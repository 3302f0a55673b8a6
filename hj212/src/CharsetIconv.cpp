// GB18030 conversions through the C library's iconv: the panel's and the host's.
#include <cerrno>
#include <iconv.h>

#include "hj212/Charset.h"

namespace HJ {
namespace {

// One conversion with iconv, dropping input the converter refuses one byte at a time: a converter
// told to skip on its own ("//IGNORE") drops the byte after a stray lead byte with it, which may be
// a ";" or the CR of CR LF. A character of either set never takes more than 4 bytes in the other,
// nor more than twice its own size plus one.
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
    // The byte that starts no character (or an incomplete one at the end) is dropped; the
    // bytes after it are read afresh.
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

bool utf8_to_gb18030(const std::string& text, std::string& out) { return convert("GB18030", "UTF-8", text, out); }

bool gb18030_to_utf8(const std::string& bytes, std::string& out) { return convert("UTF-8", "GB18030", bytes, out); }

} // namespace HJ
