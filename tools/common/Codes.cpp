#include "Codes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "TextSafe.h"

namespace codes {
namespace {

struct Key {
  const char* code;
  int row;
};
struct Old {
  const char *code, *name, *en;
};
struct CommandName {
  const char *cn, *text;
};
struct Answer {
  const char *field, *value, *zh, *en;
};

#include "Codes.inc"

const Pollutant* find_sorted(const Key* begin, const Key* end, std::string_view code) {
  const Key* it = std::lower_bound(begin, end, code, [](const Key& k, std::string_view c) { return std::string_view(k.code) < c; });
  return it != end && code == it->code ? &kPollutants[it->row] : nullptr;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// What a value field holds, by the name after '-'.
struct FieldKind {
  const char* name;
  const char* meaning;
  bool value;      // a measured value: the default format applies
  bool cumulative; // in the cumulative unit
};
const FieldKind kFields[] = {
    {"Rtd", "real-time value", true, false},
    {"Min", "minimum", true, false},
    {"Avg", "average", true, false},
    {"Max", "maximum", true, false},
    {"ZsRtd", "converted real-time value", true, false},
    {"ZsMin", "converted minimum", true, false},
    {"ZsAvg", "converted average", true, false},
    {"ZsMax", "converted maximum", true, false},
    {"Cou", "cumulative amount", false, true},
    {"Flag", "data flag", false, false},
    {"EFlag", "instrument's own flag (left to its maker)", false, false},
    {"SampleTime", "sampling time", false, false},
    {"Ala", "alarm value", true, false},
    {"UpValue", "upper alarm limit", true, false},
    {"LowValue", "lower alarm limit", true, false},
    {"Data", "noise value", true, false},
    {"DayData", "daytime noise value", true, false},
    {"NightData", "night-time noise value", true, false},
    {"RS", "run state (0 stopped, 1 running, 2 calibrating, 3 maintenance, 4 alarm, 5 back-blowing)", false, false},
    {"RT", "run time in hours", false, false},
    {"Info", "information value", false, false},
    {"SN", "instrument's unique identifier", false, false},
};

const FieldKind* field_kind(std::string_view field) {
  for (const FieldKind& f : kFields)
    if (field == f.name) return &f;
  return nullptr;
}

// Water (w, e), air (w, g) or noise (L): the medium of a code and of a system code.
char medium_of_code(const Pollutant& p) {
  char c = p.code[0];
  return c == 'w' || c == 'e' ? 'w' : c == 'a' || c == 'g' ? 'a' : c == 'L' ? 'L' : 0;
}
char medium_of_st(std::string_view st) {
  static const char* const kWater[] = {"21", "24", "26", "32", "33", "34", "52"};
  static const char* const kAir[] = {"22", "27", "31", "39", "51"};
  for (const char* s : kWater)
    if (st == s) return 'w';
  for (const char* s : kAir)
    if (st == s) return 'a';
  return st == "23" || st == "36" ? 'L' : 0;
}
const char* medium_text(char m) { return m == 'w' ? "a water factor" : m == 'a' ? "an air factor" : "a noise factor"; }

// A code whose Chinese name no source gives (the 2025 hardware identifiers) is named in English alone.
std::string named(const char* en, const char* zh) { return zh[0] ? std::string(en) + " (" + zh + ")" : std::string(en); }

std::string counted(std::size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

} // namespace

const Pollutant* pollutant(std::string_view code) {
  const Key* end = kByCode + sizeof kByCode / sizeof kByCode[0];
  if (const Pollutant* p = find_sorted(kByCode, end, code)) return p;
  // numbered codes: the last two digits are the device's number
  if (code.size() == 6 && digit(code[4]) && digit(code[5]) && (code[0] == 'e' || code[0] == 'g')) {
    char pattern[7] = {code[0], code[1], code[2], code[3], 'x', 'x', 0};
    return find_sorted(kByCode, end, pattern);
  }
  return nullptr;
}

const Pollutant* second_meaning(const Pollutant& p) { return p.also >= 0 ? &kPollutants[p.also] : nullptr; }

const Pollutant* pollutant_2005(std::string_view code) { return find_sorted(kBy2005, kBy2005 + sizeof kBy2005 / sizeof kBy2005[0], code); }

bool only_2005(std::string_view code, const char*& name, const char*& en) {
  for (const Old& o : kOnly2005)
    if (code == o.code) {
      name = o.name;
      en = o.en;
      return true;
    }
  return false;
}

const SiteInfo* site_info(std::string_view code) {
  for (const SiteInfo& s : kSiteInfo) {
    std::string_view c(s.code);
    if (code == c) return &s;
    // "i3331x": x is the device's number 0-9
    if (c.size() == code.size() && c.back() == 'x' && digit(code.back()) && code.substr(0, c.size() - 1) == c.substr(0, c.size() - 1)) return &s;
  }
  return nullptr;
}

const DataFlag* data_flag(std::string_view flag, int version) {
  int wanted = version < 0 ? -1 : version == 0 ? 0 : 1;
  for (const DataFlag& f : kFlags)
    if (flag == f.flag && (wanted < 0 || f.version == wanted)) return &f;
  return nullptr;
}

const char* command_text(std::string_view cn) {
  const CommandName* end = kCommandNames + sizeof kCommandNames / sizeof kCommandNames[0];
  const CommandName* it =
      std::lower_bound(kCommandNames, end, cn, [](const CommandName& c, std::string_view code) { return std::string_view(c.cn) < code; });
  return it != end && cn == it->cn ? it->text : nullptr;
}

CommandType command_type(std::string_view cn, bool from_station) {
  const std::string_view direction = from_station ? "up" : "down";
  for (const Command& c : kCommands) {
    if (cn == c.cn && (direction == c.direction || std::string_view(c.direction) == "both")) return c.kind;
  }
  return CommandType::Unknown;
}

bool request_has_data(std::string_view cn) {
  return command_type(cn, true) == CommandType::Upload && command_type(cn, false) == CommandType::Request;
}

bool request_starts_uploads(std::string_view cn) {
  for (const Command& c : kCommands)
    if (cn == c.cn && std::string_view(c.direction) == "down") return c.starts_uploads;
  return false;
}

std::string command_text_zh(std::string_view cn) {
  std::string out;
  for (const Command& c : kCommands)
    if (cn == c.cn && *c.zh && out.find(c.zh) == std::string::npos) out += (out.empty() ? "" : " / ") + std::string(c.zh);
  return out;
}

const System* system(std::string_view st) {
  for (const System& s : kSystems)
    if (st == s.st) return &s;
  return nullptr;
}

const char* answer_text(std::string_view field, std::string_view value) {
  for (const Answer& a : kAnswers)
    if (field == a.field && value == a.value) return a.en;
  return nullptr;
}

bool known_code(std::string_view code) {
  const char *name = nullptr, *en = nullptr;
  return pollutant(code) || pollutant_2005(code) || site_info(code) || only_2005(code, name, en);
}

namespace {

// Edits (insert, delete, replace) from a to b; both short.
std::size_t edits(std::string_view a, std::string_view b) {
  std::size_t row[17];
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// One adjacent pair swapped (a34031 for a34013): the commonest slip in typing digits.
bool swapped(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  std::size_t i = 0;
  while (i < a.size() && a[i] == b[i]) ++i;
  return i + 1 < a.size() && a[i] == b[i + 1] && a[i + 1] == b[i] && a.substr(i + 2) == b.substr(i + 2);
}

} // namespace

std::string nearest_code(std::string_view code) {
  if (code.size() > 16) return std::string();
  std::string best;
  std::size_t best_edits = ~std::size_t{0};
  auto consider = [&](std::string candidate) {
    // a numbered code is offered with the device number the station wrote, or 01
    std::size_t n = candidate.size();
    if (n == 6 && candidate.compare(4, 2, "xx") == 0) {
      bool numbered = code.size() == 6 && digit(code[4]) && digit(code[5]);
      candidate.replace(4, 2, numbered ? std::string(code.substr(4, 2)) : std::string("01"));
    }
    // in half edits: a swap is half a substitution; a code of another medium (letter) loses a tie
    std::size_t e = swapped(code, candidate) ? 1 : 2 * edits(code, candidate);
    if (!code.empty() && candidate[0] != code[0]) ++e;
    if (e < best_edits) best_edits = e, best = candidate;
  };
  for (const Pollutant& p : kPollutants) consider(p.code);
  for (const SiteInfo& i : kSiteInfo) consider(i.code);
  return best;
}

std::size_t pollutant_count() { return sizeof kPollutants / sizeof kPollutants[0]; }
const Pollutant& pollutant_at(std::size_t i) { return kPollutants[i]; }

Format parse_format(std::string_view text) {
  Format f;
  if (text.size() < 2 || text[0] != 'N') return f;
  std::size_t i = 1;
  while (i < text.size() && digit(text[i]) && f.digits < 1000) f.digits = f.digits * 10 + (text[i++] - '0');
  if (i == 1) return f;
  if (i < text.size()) {
    if (text[i] != '.' || i + 1 == text.size()) return f;
    for (++i; i < text.size(); ++i) {
      if (!digit(text[i]) || f.decimals >= 1000) return f;
      f.decimals = f.decimals * 10 + (text[i] - '0');
    }
    f.whole = false;
  }
  f.number = true;
  return f;
}

Shape shape_of(std::string_view v) {
  Shape s;
  std::size_t i = 0;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
  while (i < v.size() && digit(v[i])) ++i, ++s.digits;
  if (i < v.size() && v[i] == '.')
    for (++i; i < v.size() && digit(v[i]); ++i) ++s.decimals;
  if (s.digits + s.decimals == 0) return s;
  if (i == v.size()) {
    s.kind = Shape::Plain;
    return s;
  }
  if (v[i] != 'e' && v[i] != 'E') return s;
  ++i;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
  std::size_t start = i;
  while (i < v.size() && digit(v[i])) ++i;
  if (i > start && i == v.size()) s.kind = Shape::Exponent;
  return s;
}

std::string format_problem(std::string_view value, std::string_view format) {
  Format f = parse_format(format);
  if (!f.number) return std::string();
  Shape s = shape_of(value);
  std::string fmt(format);
  if (s.kind == Shape::NotNumber) return shown(value) + " is not a number (the table gives " + fmt + ")";
  if (s.kind == Shape::Exponent) return shown(value) + " is written with an exponent; " + fmt + " is plain digits and a point";
  std::string out;
  if (s.digits > static_cast<std::size_t>(f.digits))
    out = counted(s.digits, "digit", "digits") + " before the point; the default format " + fmt + " has " + std::to_string(f.digits);
  if (s.decimals > 0 && f.whole)
    out += (out.empty() ? "" : "; ") + counted(s.decimals, "decimal", "decimals") + "; the default format " + fmt + " is a whole number";
  else if (s.decimals > static_cast<std::size_t>(f.decimals))
    out +=
        (out.empty() ? "" : "; ") + counted(s.decimals, "decimal", "decimals") + "; the default format " + fmt + " has " + std::to_string(f.decimals);
  return out;
}

const char* note_kind_text(Note::Kind kind) {
  switch (kind) {
  case Note::UnknownCode: return "unknown code";
  case Note::NotNumber: return "not a number";
  case Note::BeyondFormat: return "beyond the default format";
  case Note::UnknownFlag: return "flag the version does not define";
  case Note::WrongFamily: return "factor of another medium than ST";
  default: return "note";
  }
}

std::string shown(std::string_view text, std::size_t limit) {
  std::size_t n = text.size() < limit ? text.size() : limit;
  std::string out(text.substr(0, n));
  // not cutting a UTF-8 sequence in two
  if (n < text.size()) {
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0xC0) out.pop_back();
    out += "... (" + std::to_string(text.size()) + " bytes)";
  }
  return sim::text_safe(out);
}

std::string factor_name(std::string_view code) {
  const Pollutant* p = pollutant(code);
  if (!p) p = pollutant_2005(code);
  if (p) return named(p->en, p->name);
  if (const SiteInfo* s = site_info(code)) return named(s->en, s->name);
  const char *name = nullptr, *en = nullptr;
  if (only_2005(code, name, en)) return named(en, name);
  return shown(code);
}

std::string factor_unit(std::string_view code) {
  const Pollutant* p = pollutant(code);
  if (!p) p = pollutant_2005(code);
  if (p) return p->unit;
  const SiteInfo* s = site_info(code);
  return s ? s->unit : "";
}

namespace {

// A Flag item's meaning under the frame's version, and a value beyond its factor's format: notes on `it`.
void flag_and_format(Item& it, const FieldKind* fk, const std::string& format, int version) {
  if (fk && fk->name == std::string_view("Flag")) {
    if (const DataFlag* f = data_flag(it.value, version)) {
      it.flag_meaning = named(f->en, f->zh);
    } else {
      static const char* const kVersions[] = {"HJ/T 212-2005", "HJ 212-2017", "HJ 212-2017"};
      std::string of = version < 0 ? "HJ/T 212-2005 nor HJ 212-2017" : version > 2 ? "HJ 212-2017" : kVersions[version];
      it.notes.push_back({Note::UnknownFlag, "flag " + shown(it.value) + " is no data flag of " + of});
    }
  }
  if (!format.empty()) {
    std::string problem = format_problem(it.value, format);
    if (!problem.empty()) it.notes.push_back({shape_of(it.value).kind == Shape::Plain ? Note::BeyondFormat : Note::NotNumber, problem});
  }
}

} // namespace

std::vector<Item> read_items(const std::vector<std::pair<std::string, std::string>>& cp, std::string_view st, int version) {
  std::vector<Item> items;
  items.reserve(cp.size());
  const char st_medium = medium_of_st(st);
  for (const auto& kv : cp) {
    Item it;
    it.key = kv.first;
    it.value = kv.second;
    std::size_t dash = kv.first.find('-');
    if (dash == std::string::npos || dash == 0) {
      if (const char* a = answer_text(kv.first, kv.second)) it.meaning = a;
      if (kv.first == "PolId") it.meaning = factor_name(kv.second);
      items.push_back(std::move(it));
      continue;
    }
    it.code = kv.first.substr(0, dash);
    it.field = kv.first.substr(dash + 1);
    const FieldKind* fk = field_kind(it.field);
    it.pollutant = pollutant(it.code);
    if (!it.pollutant && (it.pollutant = pollutant_2005(it.code)) != nullptr) it.old_code = true;
    if (!it.pollutant) it.info = site_info(it.code);
    std::string what = fk ? fk->meaning : "field " + shown(it.field);
    const char *old_name = nullptr, *old_en = nullptr;
    std::string format;
    if (const Pollutant* p = it.pollutant) {
      it.meaning = named(p->en, p->name);
      if (it.old_code) it.meaning += ", 2017 code " + std::string(p->code);
      if (const Pollutant* other = second_meaning(*p))
        it.meaning += "; the standard gives " + std::string(p->code) + " a second meaning: " + named(other->en, other->name) +
                      (other->unit[0] ? ", " + std::string(other->unit) : std::string());
      it.unit = fk && fk->cumulative ? p->cumulative_unit : fk && (fk->value || fk->name == std::string_view("Info")) ? p->unit : "";
      if (fk && fk->value) format = p->format;
      char m = medium_of_code(*p);
      if (m && st_medium && m != st_medium && !(fk && fk->name == std::string_view("Flag")))
        it.notes.push_back({Note::WrongFamily, std::string(p->code) + " is " + medium_text(m) + " (table " + p->table + ") in a frame of ST " +
                                                   std::string(st) + " (" + (system(st) ? system(st)->en : "another medium") + ")"});
    } else if (const SiteInfo* s = it.info) {
      it.meaning = named(s->en, s->name);
      it.unit = s->unit;
      if (it.field == "Info") format = s->format;
      if (s->values && s->values[0]) it.meaning += std::string("; ") + s->values;
    } else if (only_2005(it.code, old_name, old_en)) {
      it.meaning = named(old_en, old_name) + ", a 2005 code without a 2017 code";
    } else {
      it.notes.push_back({Note::UnknownCode, shown(it.code) + " is no code of the standard's tables"});
    }
    if (!it.meaning.empty()) it.meaning += ", ";
    it.meaning += what;
    if (!it.unit.empty()) it.meaning += ", " + it.unit;
    flag_and_format(it, fk, format, version);
    items.push_back(std::move(it));
  }
  return items;
}

void ValueStats::add(const std::vector<Item>& items) {
  for (const Item& it : items) {
    if (it.code.empty()) continue;
    std::string factor = it.factor();
    auto f = m_factors.find(factor);
    if (f == m_factors.end()) {
      if (m_factors.size() >= kFactors || factor.size() > 16) { // a station inventing codes must not grow the summary
        ++m_other_values;
        m_other_notes += static_cast<unsigned>(it.notes.size());
        continue;
      }
      f = m_factors.emplace(factor, Factor{}).first;
    }
    if (it.field != "Flag") ++f->second.values;
    for (const Note& n : it.notes) {
      Noted& noted = f->second.notes[n.kind];
      if (noted.count++ == 0) noted.first = shown(it.key, 24) + "=" + shown(it.value, 24) + ": " + n.text;
    }
  }
}

void ValueStats::summary_rows(const std::function<void(const char*, const std::string&)>& row) const {
  unsigned values = m_other_values, notes = m_other_notes;
  for (const auto& f : m_factors) {
    values += f.second.values;
    for (const auto& n : f.second.notes) notes += n.second.count;
  }
  row("values:", m_factors.empty() ? std::string("none")
                                   : counted(m_factors.size(), "factor", "factors") + ", " + counted(values, "value", "values") + ", " +
                                         counted(notes, "note", "notes"));
  for (const auto& f : m_factors) {
    std::string unit = factor_unit(f.first);
    std::string line =
        shown(f.first, 16) + " " + factor_name(f.first) + (unit.empty() ? "" : ", " + unit) + ": " + counted(f.second.values, "value", "values");
    for (const auto& n : f.second.notes)
      line += "; " + std::to_string(n.second.count) + " " + note_kind_text(static_cast<Note::Kind>(n.first)) + " (first: " + n.second.first + ")";
    row("", line);
  }
  if (m_other_values || m_other_notes)
    row("", "other codes: " + std::to_string(m_other_values) + " values, " + std::to_string(m_other_notes) + " notes (not listed one by one)");
}

} // namespace codes
