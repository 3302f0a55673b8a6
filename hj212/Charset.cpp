#include "Charset.h"

#include <cerrno>
#include <iconv.h>

namespace HJ {

bool utf8_to_gb18030(const std::string& text, std::string& out) {
  iconv_t converter = iconv_open("GB18030//IGNORE", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  // A UTF-8 character of n bytes becomes at most 4 GB18030 bytes, never more than 2n.
  std::string converted(text.size() * 2 + 4, '\0');
  char* input = const_cast<char*>(text.data());
  size_t inputLeft = text.size();
  char* output = &converted[0];
  size_t outputLeft = converted.size();
  while (inputLeft > 0) {
    if (iconv(converter, &input, &inputLeft, &output, &outputLeft) != static_cast<size_t>(-1)) break;
    if (errno != EILSEQ && errno != EINVAL) break; // E2BIG cannot happen with the room above
    // Skip the byte that is not valid UTF-8 (or an incomplete sequence at the end) and go on.
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

} // namespace HJ
