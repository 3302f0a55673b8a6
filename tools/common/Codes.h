// The standard's code tables for the tools: pollutant codes (2017 and 2005), data flags, commands,
// system codes, QnRtn/ExeRtn and the site information codes, generated at build time from
// data/hj212-codes.json (gen_codes.py), and the reading of CP items against them. Host tools only.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace codes {

struct Pollutant {
  const char* code;            // the 2017 code; ending in "xx": the device's number 01-99 stands there
  const char* code_2005;       // "" when it had none
  const char* name;            // Chinese, as the standard prints it
  const char* en;              // English
  const char* unit;            // "" when dimensionless
  const char* cumulative_unit; // of the Cou field; "" when the table gives none
  const char* format;          // default data format ("N4.3"); "" when the table gives none
  const char* table;           // "B.1" water, "B.2" air, "B.3" noise, "B.5" water treatment, "B.7" flue gas treatment
  int also;                    // the standard prints this code a second time with another meaning: that row; -1
};
// A 2017 code ("e10101" finds "e101xx"); nullptr when the tables do not have it.
const Pollutant* pollutant(std::string_view code);
// The row printed second under the same code, or nullptr.
const Pollutant* second_meaning(const Pollutant& p);
// A 2005 code ("011", "01", "B01", "S01") by its 2017 row; nullptr when it has none.
const Pollutant* pollutant_2005(std::string_view code);
// A 2005 code without a 2017 code ("B03" noise): its names, or false.
bool only_2005(std::string_view code, const char*& name, const char*& en);

struct SiteInfo { // i-codes: site and instrument information (CN 3020)
  const char *code, *name, *en, *unit, *format, *values;
};
const SiteInfo* site_info(std::string_view code);

// Protocol versions as Flag's upper bits give them: 0 HJ/T 212-2005, 1 HJ 212-2017, 2 HJ 212-2025.
struct DataFlag {
  const char *flag, *zh, *en;
  int version; // the standard that defines it: 0 or 1 (2025's own flags were not available: 2017's stand)
};
// The flag letter as `version` defines it (2025 and later: 2017's; -1, not known: either).
const DataFlag* data_flag(std::string_view flag, int version);

// How a command is answered, by its type in the tables: a request 9011, its data, then 9012; a
// notice 9013 when its Flag asks for an answer; an upload 9014 when its Flag asks; an
// interaction code never.
enum class CommandType { Unknown, Request, Notice, Upload, Interaction };
struct Command {
  const char *cn, *direction, *type, *zh, *en;
  int version;         // 1: HJ 212-2017, 2: added by HJ 212-2025
  CommandType kind;    // `type` read; a 2025 addition's by the 2017 command it mirrors
  bool starts_uploads; // a request answered 9011, then by uploads that go on: no 9012
};
// The type of `cn` sent by the station (`from_station`) or by the platform; Unknown when the
// tables have no such command in that direction.
CommandType command_type(std::string_view cn, bool from_station);
// A platform's request answered by its data (the tables have an upload of the same CN), and one
// whose data are uploads that go on (2011), which no 9012 ends.
bool request_has_data(std::string_view cn);
bool request_starts_uploads(std::string_view cn);
// "start real-time pollutant data / upload real-time pollutant data", "(2025)" after an addition;
// nullptr when no standard names the code.
const char* command_text(std::string_view cn);
// The same in Chinese, as the standard names it ("设置实时数据间隔"); "" when no standard names the code.
std::string command_text_zh(std::string_view cn);

struct System {
  const char *st, *zh, *en;
  int version;
};
const System* system(std::string_view st);
// QnRtn or ExeRtn: the meaning of a value, nullptr when the tables do not give it.
const char* answer_text(std::string_view field, std::string_view value);

// A factor code the tables know: 2017, 2005 (with or without a 2017 code) or site information.
bool known_code(std::string_view code);
// The known code nearest to `code` by edits (a numbered code as written, "e10101"), "" for a
// code longer than any code could be.
std::string nearest_code(std::string_view code);

// Every row, for tests and listings.
std::size_t pollutant_count();
const Pollutant& pollutant_at(std::size_t i);

// A data format of the tables: "N4.3" (4 digits before the point, 3 after), "N4" (whole).
struct Format {
  bool number = false; // an N format
  int digits = 0, decimals = 0;
  bool whole = true; // Nx: no decimals
};
Format parse_format(std::string_view text);

// How a value is written: a plain decimal number (sign, digits, point) with its counts, a number
// with an exponent, or no number.
struct Shape {
  enum Kind { Plain, Exponent, NotNumber } kind = NotNumber;
  std::size_t digits = 0, decimals = 0;
};
Shape shape_of(std::string_view value);
// Empty when `value` fits `format`; otherwise what is wrong ("6 decimals; ..."). A value
// beyond a default format is allowed (the instrument's range decides): the caller notes it.
std::string format_problem(std::string_view value, std::string_view format);

// A CP item read against the tables.
struct Note {
  enum Kind { UnknownCode, NotNumber, BeyondFormat, UnknownFlag, WrongFamily, kKinds };
  Kind kind;
  std::string text;
};
const char* note_kind_text(Note::Kind kind); // "unknown code", "beyond the default format", ...

struct Item {
  std::string key, value;
  std::string code, field;              // "a21024", "Rtd"; empty when the key has no '-'
  const Pollutant* pollutant = nullptr; // a 2005 code gives its 2017 row
  bool old_code = false;                // written with its 2005 code
  const SiteInfo* info = nullptr;
  std::string meaning;      // "hydrogen chloride (氯化氢), real-time value, mg/m³"
  std::string unit;         // the unit of this field's value, "" when none
  std::string flag_meaning; // a Flag item's letter, read; "" otherwise
  std::vector<Note> notes;
  // The code the item counts under: the 2017 code when the tables know it, otherwise as written.
  std::string factor() const { return pollutant ? std::string(pollutant->code) : code; }
};
// The CP items of a frame whose ST and Flag version (-1: no Flag) are given.
std::vector<Item> read_items(const std::vector<std::pair<std::string, std::string>>& cp, std::string_view st, int version);
// A code, value or flag as text a terminal or a note may hold: control bytes as \xNN, at most
// `limit` bytes and then "... (N bytes)".
std::string shown(std::string_view text, std::size_t limit = 40);
// "hydrogen chloride (氯化氢)"; the code itself when unknown.
std::string factor_name(std::string_view code);
// The unit a factor's values have ("mg/m³"), "" when none or unknown.
std::string factor_unit(std::string_view code);

// The platform's "values" summary: per factor, the values received and the notes, counted, with
// the first example. Bounded: kFactors factors, the rest counted together.
class ValueStats {
public:
  static constexpr std::size_t kFactors = 64;
  void add(const std::vector<Item>& items);
  void summary_rows(const std::function<void(const char*, const std::string&)>& row) const;

private:
  struct Noted {
    unsigned count = 0;
    std::string first;
  };
  struct Factor {
    unsigned values = 0;
    std::map<int, Noted> notes; // Note::Kind -> count, first
  };
  std::map<std::string, Factor> m_factors;
  unsigned m_other_values = 0, m_other_notes = 0;
};

} // namespace codes
