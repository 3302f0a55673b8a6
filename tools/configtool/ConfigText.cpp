#include "ConfigText.h"

#include <climits>
#include <cstdio>
#include <memory>

#include "config/DevBas.h"

namespace configtool {

const char* const kPropertyKeys[DEVROW_PROPERTY_COUNT] = {"group", "st", "factor", "name", "datatype", "factortype", "rw"};

namespace {

// One word of a line: a bare word, a "quoted" text, or key=value (the value bare or quoted).
struct Word {
  std::string key;   // empty unless the word was key=value
  std::string value; // the word itself, or the value after '='
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Quote(const std::string& text) { return "'" + text + "'"; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class LineReader {
public:
  LineReader(const std::string& line, int number) : m_line(line), m_number(number) {}

  // Splits the line into words up to a '#' outside quotes.
  bool Split(std::vector<Word>& words, std::string& error) {
    words.clear();
    for (;;) {
      while (m_pos < m_line.size() && IsBlank(m_line[m_pos])) ++m_pos;
      if (m_pos == m_line.size() || m_line[m_pos] == '#') return true;
      Word word;
      if (m_line[m_pos] == '"') {
        if (!ReadQuoted(word.value, "", error)) return false;
      } else {
        std::string bare = ReadBare();
        if (m_pos < m_line.size() && m_line[m_pos] == '=') {
          ++m_pos;
          word.key = bare;
          if (word.key.empty()) return Fail(error, "'=' without a field name before it");
          if (m_pos < m_line.size() && m_line[m_pos] == '"') {
            if (!ReadQuoted(word.value, word.key, error)) return false;
          } else {
            word.value = ReadBare();
            if (m_pos < m_line.size() && (m_line[m_pos] == '"' || m_line[m_pos] == '='))
              return Fail(error, "field " + Quote(word.key) + ": unexpected '" + m_line[m_pos] + "' in the value");
          }
        } else if (m_pos < m_line.size() && m_line[m_pos] == '"') {
          return Fail(error, "unexpected '\"' after " + Quote(bare));
        } else {
          word.value = bare;
        }
      }
      words.push_back(std::move(word));
    }
  }

  bool Fail(std::string& error, const std::string& message) const {
    error = "line " + std::to_string(m_number) + ": " + message;
    return false;
  }

private:
  std::string ReadBare() {
    const size_t start = m_pos;
    while (m_pos < m_line.size() && !IsBlank(m_line[m_pos]) && m_line[m_pos] != '=' && m_line[m_pos] != '"' && m_line[m_pos] != '#') ++m_pos;
    return m_line.substr(start, m_pos - start);
  }

  bool ReadQuoted(std::string& out, const std::string& key, std::string& error) {
    const std::string field = key.empty() ? std::string("text") : "field " + Quote(key);
    ++m_pos; // the opening quote
    for (;;) {
      if (m_pos >= m_line.size()) return Fail(error, field + ": text without its closing '\"'");
      const char c = m_line[m_pos++];
      if (c == '"') break;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_line.size()) return Fail(error, field + ": '\\' at the end of the line");
      const char e = m_line[m_pos++];
      switch (e) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        const int hi = m_pos < m_line.size() ? HexDigit(m_line[m_pos]) : -1;
        const int lo = m_pos + 1 < m_line.size() ? HexDigit(m_line[m_pos + 1]) : -1;
        if (hi < 0 || lo < 0) return Fail(error, field + ": '\\x' needs two hexadecimal digits");
        m_pos += 2;
        const int byte = hi * 16 + lo;
        if (byte == 0) return Fail(error, field + ": a text cannot hold a zero byte (the device ends it there)");
        out += static_cast<char>(byte);
        break;
      }
      default: return Fail(error, field + ": unknown escape '\\" + std::string(1, e) + "' (use \\\\ \\\" \\n \\r \\t \\xHH)");
      }
    }
    if (m_pos < m_line.size() && !IsBlank(m_line[m_pos]) && m_line[m_pos] != '#')
      return Fail(error, field + ": a space must follow the closing '\"'");
    return true;
  }

  const std::string& m_line;
  int m_number;
  size_t m_pos = 0;
};

// Decimal, or hexadecimal after 0x; an optional leading '-'. Fails outside [low, high].
bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t& out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  int base = 10;
  if (text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return false;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (digit < 0) return false;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFull + 1) return false; // far beyond every range asked for
  }
  const int64_t signedValue = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  if (signedValue < low || signedValue > high) return false;
  out = signedValue;
  return true;
}

int PropertyIndex(const std::string& key) {
  for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i)
    if (key == kPropertyKeys[i]) return i;
  return -1;
}

bool ParseRow(LineReader& reader, const std::vector<Word>& words, Row& row, std::string& error) {
  std::array<bool, DEVROW_PROPERTY_COUNT> seen{};
  for (size_t w = 1; w < words.size(); ++w) {
    const Word& word = words[w];
    if (word.key.empty()) return reader.Fail(error, "row: expected field=value, got " + Quote(word.value));
    const int index = PropertyIndex(word.key);
    if (index < 0) return reader.Fail(error, "row: unknown field " + Quote(word.key) + " (fields: group st factor name datatype factortype rw)");
    if (seen[index]) return reader.Fail(error, "row: field " + Quote(word.key) + " given twice");
    seen[index] = true;
    if (DEVROW_DWORD_PROPERTYTYPE[index] == DEVROW_TYPE_TEXT) {
      row.texts[index] = word.value;
    } else {
      int64_t value = 0;
      if (!ParseNumber(word.value, 0, 0xFFFFFFFFll, value))
        return reader.Fail(error, "row: field " + Quote(word.key) + ": expected a number from 0 to 4294967295, got " + Quote(word.value));
      row.numbers[index] = static_cast<DWORD>(value);
    }
  }
  for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i)
    if (!seen[i]) return reader.Fail(error, "row: field " + Quote(kPropertyKeys[i]) + " is missing");
  return true;
}

} // namespace

bool ParseText(const std::string& text, Configuration& out, std::string& error) {
  Configuration config;
  bool versionSeen = false;
  std::array<int, 7> paramLine{};
  std::vector<Word> words;
  size_t start = 0;
  for (int number = 1; start <= text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    LineReader reader(line, number);
    if (line.find('\0') != std::string::npos) return reader.Fail(error, "a zero byte in the text");
    if (!reader.Split(words, error)) return false;
    if (words.empty()) continue;
    const Word& head = words[0];
    if (!head.key.empty()) return reader.Fail(error, "expected version, param or row, got " + Quote(head.key + "="));
    if (head.value == "version") {
      if (versionSeen) return reader.Fail(error, "version: given twice");
      if (words.size() != 2 || !words[1].key.empty()) return reader.Fail(error, "version: expected 'version 20000' or 'version none'");
      versionSeen = true;
      if (words[1].value == "none") {
        config.version = 0;
      } else if (words[1].value == "20000") {
        config.version = 20000;
      } else {
        return reader.Fail(error, "version: only 20000 or none can be written, got " + Quote(words[1].value));
      }
    } else if (head.value == "param") {
      if (words.size() != 3 || !words[1].key.empty() || !words[2].key.empty())
        return reader.Fail(error, "param: expected 'param <index 0-6> <value>'");
      int64_t index = 0;
      int64_t value = 0;
      if (!ParseNumber(words[1].value, 0, 6, index)) return reader.Fail(error, "param: field 'index': expected 0 to 6, got " + Quote(words[1].value));
      if (paramLine[static_cast<size_t>(index)] != 0)
        return reader.Fail(error, "param: field 'index': parameter " + std::to_string(index) + " already given on line " +
                                      std::to_string(paramLine[static_cast<size_t>(index)]));
      // Values above 2147483647 are taken as their 32-bit pattern (the device reads them as negative).
      if (!ParseNumber(words[2].value, INT32_MIN, 0xFFFFFFFFll, value))
        return reader.Fail(error, "param: field 'value': expected a 32-bit number (-2147483648 to 4294967295), got " + Quote(words[2].value));
      paramLine[static_cast<size_t>(index)] = number;
      config.params[static_cast<size_t>(index)] = static_cast<int32_t>(static_cast<uint32_t>(value));
      if (config.storedParams < index + 1) config.storedParams = static_cast<int>(index + 1);
    } else if (head.value == "row") {
      Row row;
      if (!ParseRow(reader, words, row, error)) return false;
      config.rows.push_back(std::move(row));
    } else {
      return reader.Fail(error, "unknown keyword " + Quote(head.value) + " (expected version, param or row)");
    }
  }
  out = std::move(config);
  return true;
}

namespace {

std::string QuoteText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c; // UTF-8 (or any other multi-byte text) passes through as its bytes
    }
  }
  return out + "\"";
}

} // namespace

namespace {

// What a device makes of parameter `index` with `value`, and the values it takes.
std::string ParamText(int index, int32_t value) {
  const std::string v = std::to_string(value);
  switch (index) {
  case 0: return "port timeout " + (value < 0 ? std::string("5 s (negative: 5 s)") : value == 0 ? std::string("0: the port's own") : v + " s");
  case 1: {
    static const char* const kCharsets[] = {"by Flag", "GB18030", "UTF-8"};
    return std::string("wire charset ") + kCharsets[value >= 0 && value <= 2 ? value : 0] + " (0 by Flag, 1 GB18030, 2 UTF-8, others as 0)";
  }
  case 2:
    return "packet limit " +
           (value == 0  ? std::string("1024 bytes for 2025 frames, none for older")
            : value < 0 ? std::string("none: never split")
                        : std::to_string(value > 9999 ? 9999 : value) + " bytes") +
           " (0 by Flag, 1-9999 bytes, negative never)";
  case 3:
    return std::string("ciphertext as ") +
           (value == 1   ? "{0x..} text"
            : value == 2 ? "{0x..} text, the tail inside"
                         : "raw bytes") +
           " (0 raw bytes, 1 {0x..} text, 2 {0x..} text with the tail inside, others as 0)";
  case 4:
    return std::string("encryption ") + (value == 1 ? "required: CN 2000-2999 never leaves plain" : "not required") + " (1 required, others not)";
  default: return "not used";
  }
}

// The smallest packet worth a limit: a data segment's own fields (QN, ST, CN, PW, MN, Flag, PNUM,
// PNO, CP=&&...&&) take about this much before any data.
constexpr int32_t kSmallestPacket = 128;

} // namespace

std::vector<std::string> ParamWarnings(const Configuration& config) {
  std::vector<std::string> out;
  const int stored = config.storedParams < 7 ? config.storedParams : 7;
  auto range = [&](int i, int32_t low, int32_t high, const char* acts) {
    const int32_t v = config.params[static_cast<size_t>(i)];
    if (i < stored && (v < low || v > high))
      out.push_back("param " + std::to_string(i) + " " + std::to_string(v) + ": not one of " + std::to_string(low) + " to " + std::to_string(high) +
                    "; a device takes it as " + acts);
  };
  const int32_t limit = config.params[2];
  if (stored > 2 && limit > 0 && limit < kSmallestPacket)
    out.push_back("param 2 " + std::to_string(limit) + ": a packet limit of " + std::to_string(limit) +
                  " bytes is smaller than a packet's own fields (about " + std::to_string(kSmallestPacket) +
                  " bytes), so no long frame can be split: give 0 (1024 for 2025 frames) or a limit of " + std::to_string(kSmallestPacket) +
                  " or more");
  range(1, 0, 2, "0 (by Flag)");
  range(3, 0, 2, "0 (raw bytes)");
  range(4, 0, 1, "0 (not required)");
  for (int i = 5; i < stored; ++i)
    if (config.params[static_cast<size_t>(i)] != 0)
      out.push_back("param " + std::to_string(i) + " " + std::to_string(config.params[static_cast<size_t>(i)]) + ": the device does not use it");
  return out;
}

std::string PrintText(const Configuration& config) {
  std::string out = "# device configuration: version, device parameters, channel rows\n";
  if (config.version == 0) {
    out += "version none\n";
  } else {
    out += "version " + std::to_string(config.version) + "\n";
    if (config.version > COwnerArchive::VERSION) {
      out += "# a device reads nothing from a configuration of this version: seven zero parameters, no rows\n";
      return out;
    }
  }
  if (config.storedParams > 7) out += "# " + std::to_string(config.storedParams) + " parameters stored; a device keeps the first 7\n";
  const int shown = config.storedParams < 7 ? config.storedParams : 7;
  for (int i = 0; i < shown; ++i) {
    out += "param " + std::to_string(i) + " " + std::to_string(config.params[i]) + "  # " + ParamText(i, config.params[i]) + "\n";
  }
  if (!config.rows.empty())
    out += "# rows: the panel's channel list (group, system code st, factor code, its name); datatype, factortype\n"
           "# and rw are kept for the panel's own use: the plug-in reads none of them, and 0 suits them\n";
  for (const Row& row : config.rows) {
    out += "row";
    for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i) {
      out += ' ';
      out += kPropertyKeys[i];
      out += '=';
      out += DEVROW_DWORD_PROPERTYTYPE[i] == DEVROW_TYPE_TEXT ? QuoteText(row.texts[i]) : std::to_string(row.numbers[i]);
    }
    out += '\n';
  }
  return out;
}

std::vector<unsigned char> StoreBytes(const Configuration& config) {
  CDevRow::mfFillPropertyDescription();
  CDevTable table;
  table.m_arRows.SetSize(static_cast<int>(config.rows.size()));
  for (int r = 0; r < table.m_arRows.GetSize(); ++r) {
    const Row& source = config.rows[static_cast<size_t>(r)];
    CDevRow& row = table.m_arRows[r];
    for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i) {
      if (DEVROW_DWORD_PROPERTYTYPE[i] == DEVROW_TYPE_TEXT) {
        row.m_strArPropertyValue[i] = CString(source.texts[i].data(), static_cast<int>(source.texts[i].size()));
      } else {
        row.m_dwArPropertyValue[i] = source.numbers[i];
      }
    }
  }
  int count = config.storedParams < 0 ? 0 : (config.storedParams > 7 ? 7 : config.storedParams);
  COwnerArchive archive;
  CDevBas::mfSerializeToArchive(archive, config.version != 0, config.params.data(), count, table);
  const unsigned char* data = archive.m_arBuffer.GetData();
  return std::vector<unsigned char>(data, data + archive.m_nPosition);
}

bool LoadBytes(const unsigned char* bytes, size_t length, Configuration& out, std::string& error) {
  if (length == 0) {
    error = "empty configuration (a device refuses it)";
    return false;
  }
  if (length > static_cast<size_t>(INT_MAX)) {
    error = "configuration larger than 2 GiB";
    return false;
  }
  CDevRow::mfFillPropertyDescription();
  auto archive = std::make_unique<COwnerArchive>();
  CDevBas::mfPrepareArchive(*archive, bytes, static_cast<int>(length));

  Configuration config;
  const unsigned version = archive->GetNowVersion();
  config.version = version >= COwnerArchive::VERSION ? version : 0;
  // The stored parameter count, which the device itself does not keep.
  const int at = archive->m_nPosition;
  int32_t stored = 0;
  archive->SvrReadInt32(stored);
  archive->m_nPosition = at;
  config.storedParams = stored < 0 ? 0 : stored;

  auto table = std::make_unique<CDevTable>();
  CArray<int, int> params;
  params.SetSize(7);
  CDevBas::mfReadConfiguration(archive.get(), &params, table.get());

  if (version > COwnerArchive::VERSION) config.storedParams = 0;
  for (int i = 0; i < 7; ++i) config.params[static_cast<size_t>(i)] = params[i];
  for (int r = 0; r < table->m_arRows.GetSize(); ++r) {
    const CDevRow& row = table->m_arRows[r];
    Row loaded;
    for (int i = 0; i < DEVROW_PROPERTY_COUNT; ++i) {
      if (DEVROW_DWORD_PROPERTYTYPE[i] == DEVROW_TYPE_TEXT) {
        const CString& text = row.m_strArPropertyValue[i];
        loaded.texts[i].assign(text.c_str(), static_cast<size_t>(text.GetLength()));
      } else {
        loaded.numbers[i] = row.m_dwArPropertyValue[i];
      }
    }
    config.rows.push_back(std::move(loaded));
  }
  out = std::move(config);
  return true;
}

} // namespace configtool
