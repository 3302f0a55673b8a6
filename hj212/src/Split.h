// Cutting a text into blank-trimmed pieces at a set of delimiter characters; the frame builder
// cuts templates with it and the command interpreter its argument lists.
#pragma once

#include <string>
#include <vector>

namespace HJ {

// Any character of `delimiters` ends a piece. A piece of at least one character is trimmed of
// spaces (only 0x20) and kept even when that leaves it empty; a piece of no characters (two
// delimiters in a row, a delimiter at the start or end) is dropped. So "a,,b" gives a and b,
// "a, ,b" gives a, "" and b, and the empty text gives nothing.
std::vector<std::string> split(const std::string& text, const std::string& delimiters);

// `text` without its leading and trailing spaces (0x20 only: tabs and line ends stay).
std::string trim_blanks(const std::string& text);

} // namespace HJ
