// Character sets between the runtime's UTF-8 texts and the wire: GB18030 for 2017-era
// platforms, UTF-8 for 2025 ones.
#pragma once

#include <cstddef>
#include <string>

namespace HJ {

// Converts UTF-8 `text` to GB18030 into `out`, skipping input that is not valid UTF-8.
// Returns false, with `out` untouched, when the system has no such converter.
bool utf8_to_gb18030(const std::string& text, std::string& out);

// Converts GB18030 `bytes` to UTF-8 into `out`, skipping bytes that are not GB18030.
// Returns false, with `out` untouched, when the system has no such converter.
bool gb18030_to_utf8(const std::string& bytes, std::string& out);

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF). Pure ASCII is UTF-8.
bool is_utf8(const char* bytes, std::size_t length);

// A received frame as the runtime's text: valid UTF-8 byte for byte, otherwise read as GB18030;
// as received when the system has no converter.
std::string received_text(const std::string& bytes);

} // namespace HJ
