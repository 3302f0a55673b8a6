#include "Split.h"

namespace HJ {

std::string trim_blanks(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  const std::string::size_type last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::vector<std::string> split(const std::string& text, const std::string& delimiters) {
  std::vector<std::string> pieces;
  std::string::size_type pos = 0;
  for (;;) {
    const std::string::size_type stop = text.find_first_of(delimiters, pos);
    const std::string::size_type end = stop == std::string::npos ? text.size() : stop;
    if (end > pos) {
      pieces.push_back(trim_blanks(text.substr(pos, end - pos)));
      pos = end;
    } else {
      ++pos;
    }
    if (stop == std::string::npos) break;
  }
  return pieces;
}

} // namespace HJ
