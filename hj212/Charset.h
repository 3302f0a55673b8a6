// Conversion of outgoing frames from the panel's UTF-8 to GB18030, the platforms' character set.
#pragma once

#include <string>

namespace HJ {

// Converts UTF-8 `text` to GB18030 into `out`, skipping input that is not valid UTF-8.
// Returns false, with `out` untouched, when the system has no such converter.
bool utf8_to_gb18030(const std::string& text, std::string& out);

} // namespace HJ
