// GB18030 conversions by the tables: Windows has no iconv, and its code page 54936 is missing under
// wine. They never fail.
#include "Gb18030.h"
#include "hj212/Charset.h"

namespace HJ {

bool utf8_to_gb18030(const std::string& text, std::string& out) {
  utf8_to_gb18030_by_table(text, out);
  return true;
}

bool gb18030_to_utf8(const std::string& bytes, std::string& out) {
  gb18030_to_utf8_by_table(bytes, out);
  return true;
}

} // namespace HJ
