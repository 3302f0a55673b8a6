// GB18030 by tables made from the C library's iconv (Gb18030Tables.inc), for systems whose C
// library has no GB18030 converter: the same characters, and the same bytes dropped, as Charset.h's
// conversions give where the converter is there. Pure functions, safe from any thread.
#pragma once

#include <string>

namespace HJ {

// GB18030 bytes to UTF-8; a byte that starts no character (or one cut off by the end) is dropped
// and the bytes after it are read afresh.
void gb18030_to_utf8_by_table(const std::string& bytes, std::string& out);
// UTF-8 text to GB18030; a byte that starts no well-formed character is dropped the same way.
void utf8_to_gb18030_by_table(const std::string& text, std::string& out);

} // namespace HJ
