#include "FieldExtract.h"

#include "Split.h"

namespace HJ {

int get_value_cp(const std::string& text, std::string& out) {
  const std::string::size_type open = text.find("&&");
  if (open == std::string::npos) return 0;
  const std::string::size_type begin = open + 2;
  const std::string::size_type close = text.find("&&", begin);
  out = close == std::string::npos ? text.substr(begin) : text.substr(begin, close - begin);
  return 1;
}

int get_value(const std::string& text, const std::string& key, std::string& out) {
  if (key == "CP") return get_value_cp(text, out);

  const std::string::size_type at = text.find(key);
  if (at == std::string::npos) return 0;
  // Only the first occurrence counts: scripts rely on a key matching the tail of a longer name.
  const std::string::size_type after = at + key.size();
  if (after >= text.size() || text[after] != '=') return 0;

  const std::string::size_type equals = text.find('=', at);
  const std::string::size_type stop = text.find_first_of(",;", at);
  const std::string::size_type begin = equals + 1;
  std::string value = (stop == std::string::npos || stop < equals) ? text.substr(begin) : text.substr(begin, stop - begin);
  out = trim_blanks(value);
  return 1;
}

} // namespace HJ
