// Character sets between the runtime's UTF-8 texts and the wire: GB18030 for 2017-era
// platforms, UTF-8 for 2025 ones. Where the C library converts GB18030 (the panel, Linux) each
// conversion opens an iconv converter of its own and closes it; elsewhere tables do it (Gb18030.h).
// Safe from any thread, and a cost per call that callers keep off the per-byte path.
#pragma once

#include <cstddef>
#include <string>

#include "WireChoices.h"

namespace HJ {

// Converts UTF-8 `text` to GB18030 into `out`, dropping each byte that starts no UTF-8 character
// (the bytes after it are kept).
// Returns false, with `out` untouched, when the system has no such converter.
bool utf8_to_gb18030(const std::string& text, std::string& out);

// Converts GB18030 `bytes` to UTF-8 into `out`, dropping each byte that starts no GB18030
// character (the bytes after it are kept: no ASCII delimiter is lost with a stray byte).
// Returns false, with `out` untouched, when the system has no such converter.
bool gb18030_to_utf8(const std::string& bytes, std::string& out);

// Length of the well-formed UTF-8 character at bytes[at] (1 to 4; ASCII is 1), or 0 when none
// starts there: a stray byte, an overlong form, a surrogate, beyond U+10FFFF or cut off at `length`.
std::size_t utf8_char_length(const char* bytes, std::size_t at, std::size_t length);

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF). Pure ASCII is UTF-8.
bool is_utf8(const char* bytes, std::size_t length);
// True when the bytes are well-formed GB18030 by its byte structure (no converter needed): ASCII,
// two bytes (81-FE, then 40-7E or 80-FE) and four bytes (81-FE, 30-39, 81-FE, 30-39).
bool is_gb18030(const char* bytes, std::size_t length);

// A received frame as the runtime's text, read in the charset "Send" writes for `charset` (the
// second device parameter): 1 always GB18030, 2 always UTF-8; 0 (and
// any other value) keeps valid UTF-8 byte for byte and reads anything else by its Flag, as UTF-8
// when it names version 2025 or later and as GB18030 otherwise. The bytes that are no character are
// dropped one by one; the frame stays as received when GB18030 is due and the system has no converter.
std::string received_text(const std::string& bytes, WireCharset charset = kCharsetByFlag);

// The one choice of a data segment's wire charset, for what "Send" writes and what "GetData" reads:
// true for UTF-8, false for GB18030. By `charset`, and for kCharsetByFlag (or any value that is no
// WireCharset) by the Flag's version: 2025 or later UTF-8, anything else GB18030.
bool utf8_on_wire(const std::string& data, WireCharset charset);
// The data segment's wire bytes: the runtime's UTF-8 `data` in GB18030 or unchanged in UTF-8 (by
// utf8_on_wire); without a GB18030 converter the data's own bytes.
std::string wire_bytes(const std::string& data, WireCharset charset);

} // namespace HJ
