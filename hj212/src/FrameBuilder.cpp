#include "FrameBuilder.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Split.h"
#include "hj212/HJ212System.h"

namespace HJ {

namespace {

// Largest text the builder grows a template to. A data segment is at most 9999 bytes, and a
// template fed back into itself (MakeProtocol(T,T) each cycle) would otherwise grow without bound.
constexpr std::string::size_type kMaxBuiltBytes = 64 * 1024;

// false when putting `value` in place of `length` bytes would grow `text` past kMaxBuiltBytes.
bool fits(const std::string& text, std::string::size_type length, const std::string& value) {
  return value.size() <= length || text.size() + (value.size() - length) <= kMaxBuiltBytes;
}

// What the last keyed name search learnt: its name starts nowhere in [from, to) of the text. A
// repeated key is found at the same place again, and its name search resumes where the last one
// ended instead of crossing everything substituted since (quadratic); the first match is the same.
class NoMatch {
public:
  // The first `name` at or after `from`, as text.find gives it.
  std::string::size_type find(const std::string& text, const std::string& name, std::string::size_type from) {
    const bool resume = m_name != nullptr && *m_name == name && m_from <= from && from <= m_to;
    const std::string::size_type at = text.find(name, resume ? m_to : from);
    if (!resume) m_from = from;
    m_name = &name;
    m_to = at;
    return at;
  }
  // The text changed from `at` on: only starts whose name ends before it stay known.
  void changed_from(std::string::size_type at) {
    if (m_name == nullptr) return;
    const std::string::size_type unchanged = at + 1 > m_name->size() ? at + 1 - m_name->size() : 0;
    if (unchanged < m_to) m_to = unchanged;
  }

private:
  const std::string* m_name = nullptr; // an entry's, which outlives the search
  std::string::size_type m_from = 0;
  std::string::size_type m_to = 0;
};

struct Entry {
  std::string key; // empty for an unkeyed item
  std::string name;
  std::string value; // read up front for keyed items only
};

} // namespace

std::string format_template_number(double value) {
  // "%lf" of the largest double is about 320 characters: no value is ever cut short.
  char buffer[400];
  int length = std::snprintf(buffer, sizeof buffer, "%lf", value);
  if (length < 0) return std::string();
  if (length >= static_cast<int>(sizeof buffer)) length = static_cast<int>(sizeof buffer) - 1;
  std::string text(buffer, static_cast<std::string::size_type>(length));
  const std::string::size_type zeros = text.find_last_not_of('0');
  text.erase(zeros == std::string::npos ? 0 : zeros + 1);
  const std::string::size_type points = text.find_last_not_of('.');
  text.erase(points == std::string::npos ? 0 : points + 1);
  return text;
}

std::string read_template_value(Device* device, const std::string& name) {
  VarValue value = device ? device->read(name) : VarValue{};
  switch (value.type) {
  case VarType::Integer:
  case VarType::Double: return format_template_number(value.number);
  case VarType::Text: return std::move(value.text);
  case VarType::Unreachable:
  case VarType::None: break;
  }
  return name; // a name that is no variable is its own value
}

std::string build_data_segment(Device* device, const std::string& templ) {
  // Only "," and ";" decide whether there is anything at all, so "&&" alone stays as written.
  if (templ.find_first_not_of(",;") == std::string::npos) return std::string();

  // All keyed values are read before the first substitution; unkeyed ones when they are used.
  std::vector<Entry> entries;
  for (const std::string& item : split(templ, ",;&")) {
    std::vector<std::string> pieces = split(item, "=");
    if (pieces.empty()) continue; // blanks or "=" alone: nothing to look up
    Entry entry;
    if (pieces.size() == 2) {
      entry.key = std::move(pieces[0]);
      entry.name = std::move(pieces[1]);
      if (!entry.key.empty() && !entry.name.empty()) entry.value = read_template_value(device, entry.name);
    } else {
      entry.name = std::move(pieces[0]);
    }
    entries.push_back(std::move(entry));
  }

  std::string result = templ;
  std::string::size_type pos = 0;
  NoMatch known;
  for (const Entry& entry : entries) {
    std::string::size_type at = 0;
    if (!entry.key.empty()) {
      pos = result.find(entry.key, pos);
      if (pos == std::string::npos) break; // nothing after a missing key changes
      if (entry.name.empty()) continue;    // "key= ": the key still moves the search on
      // The name is the one after the key, never a letter inside the key (PN=N, ST=T).
      at = known.find(result, entry.name, pos + entry.key.size());
      if (at == std::string::npos) continue;
      if (!fits(result, entry.name.size(), entry.value)) break; // too large: nothing later changes either
      result.replace(at, entry.name.size(), entry.value);
    } else {
      if (entry.name.empty()) continue; // "= =": nothing to look up
      pos = result.find(entry.name, pos);
      if (pos == std::string::npos) break;
      at = pos;
      const std::string value = read_template_value(device, entry.name);
      if (!fits(result, entry.name.size(), value)) break; // too large: nothing later changes either
      result.replace(pos, entry.name.size(), value);
    }
    known.changed_from(at);
  }
  return result;
}

std::string HJ212_system::_write_make_frame(const std::string& text) { return build_data_segment(dev_data, text); }

} // namespace HJ
