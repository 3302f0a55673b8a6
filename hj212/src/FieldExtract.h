// Reading fields out of an HJ 212 text (a whole frame, a data segment or a CP content).
// Both functions only read; on "not found" (0) the output is left exactly as passed in. They
// answer 1 or 0 as ints, their documented result.
#pragma once

#include <string>

namespace HJ {

// The content between the first "&&" and the next one (or the end of the text), untrimmed.
// 1 when the text holds "&&", else 0.
int get_value_cp(const std::string& text, std::string& out);

// The value of key=value at the key's first occurrence, which may be the tail of a longer field
// name; it runs to the next "," or ";" (or the end of the text) and is trimmed of spaces.
// The key "CP" selects get_value_cp. 1 when found, also for an empty value; 0 when the key is
// absent or its first occurrence is not followed by "=".
int get_value(const std::string& text, const std::string& key, std::string& out);

} // namespace HJ
