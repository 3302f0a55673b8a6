// Station text made safe for every way it leaves a tool (a terminal, a log, a CSV, a report): a
// byte a terminal or a text viewer would act on rather than show goes out as \xHH.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

enum TextSafeFlags : unsigned {
  kKeepLines = 1,       // TAB and LF go out as they are (a summary, a report's block)
  kDoubleBackslash = 2, // a backslash goes out as \\, so \xHH reads back as what was escaped
};

// The length of the character at text[at] when it may go out as it is, 0 when it is escaped: C0
// controls (TAB and LF kept with kKeepLines), DEL, C1 controls, the bidirectional controls
// U+202A-U+202E and U+2066-U+2069 (they reorder the text around them), U+FFFE and U+FFFF, and
// bytes that are not UTF-8.
std::size_t safe_char_length(std::string_view text, std::size_t at, unsigned flags = 0);

// A Unicode bidirectional control (U+202A-U+202E, U+2066-U+2069) in UTF-8 at text[at].
bool is_bidi_control(std::string_view text, std::size_t at);

// `text` with each byte of what safe_char_length refuses as \xHH; linear, one allocation.
std::string text_safe(std::string_view text, unsigned flags = 0);

} // namespace sim
