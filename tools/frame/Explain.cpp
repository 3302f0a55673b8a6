#include "Explain.h"

#include <cstdio>
#include <cstdlib>

#include "Charset.h"
#include "Envelope.h"
#include "Hj212Text.h"

namespace frametool {
namespace {

std::string hex4(unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", value & 0xFFFFu);
  return buf;
}

std::string crc_of(const std::string& data) {
  return hex4(HJ::crc16(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
}

// Modbus CRC-16 (the byte goes into the register's low byte): the CRC field holds it by mistake.
unsigned modbus_crc(const std::string& data) {
  unsigned reg = 0xFFFFu;
  for (unsigned char byte : data) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ 0xA001u : reg >> 1;
  }
  return reg;
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool is_ascii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

std::string qn_time(const std::string& qn) {
  if (qn.size() != 17 || qn.find_first_not_of("0123456789") != std::string::npos) return "not a yyyyMMddHHmmssSSS time";
  return qn.substr(0, 4) + "-" + qn.substr(4, 2) + "-" + qn.substr(6, 2) + " " + qn.substr(8, 2) + ":" + qn.substr(10, 2) + ":" +
         qn.substr(12, 2) + "." + qn.substr(14, 3);
}

std::string decoded(const std::string& key, const std::string& value) {
  const char* name = nullptr;
  if (key == "QN") return value + " (" + qn_time(value) + ")";
  if (key == "Flag") return value + " (" + sim::flag_text(value) + ")";
  if (key == "ST") name = sim::system_name(value);
  if (key == "CN") name = sim::command_name(value);
  if (key == "ST" || key == "CN") return value + " (" + (name ? name : "not a code of the standard") + ")";
  return value;
}

// The data's other encoding: GB18030 for UTF-8 text, UTF-8 for bytes that are not UTF-8.
bool other_form(const std::string& data, bool utf8, std::string& out) {
  return utf8 ? HJ::utf8_to_gb18030(data, out) : HJ::gb18030_to_utf8(data, out);
}

void explain(const std::string& data, bool utf8, Report& r) {
  const std::string other_name = utf8 ? "GB18030" : "UTF-8";
  std::string other;
  bool converted = !is_ascii(data) && other_form(data, utf8, other);
  if (r.announced < 0) {
    r.reasons.push_back("length field \"" + r.length_field + "\" is not a number; the data has " + std::to_string(r.actual) + " bytes");
  } else if (static_cast<std::size_t>(r.announced) != r.actual) {
    std::string why = "length: announced " + std::to_string(r.announced) + ", actual " + std::to_string(r.actual) + " bytes";
    if (converted && other.size() == static_cast<std::size_t>(r.announced))
      why += "; the data is " + std::string(utf8 ? "UTF-8" : "GB18030") + " and its " + other_name + " form has " +
             std::to_string(other.size()) + " bytes: the length was counted over " + other_name;
    r.reasons.push_back(why);
  }
  if (upper(r.crc_field) == r.crc_computed) return;
  std::string why = "crc: announced " + r.crc_field + ", computed " + r.crc_computed;
  unsigned modbus = modbus_crc(data);
  std::string field = upper(r.crc_field);
  if (field == hex4(modbus))
    why += "; the announced value is the Modbus CRC-16 of the data, not the HJ 212 CRC";
  else if (field == hex4(((modbus & 0xFFu) << 8) | (modbus >> 8)))
    why += "; the announced value is the Modbus CRC-16 of the data (low byte first), not the HJ 212 CRC";
  else if (converted && field == crc_of(other))
    why += "; it is the CRC over the data's " + other_name + " form";
  r.reasons.push_back(why);
}

void decode_fields(Report& r) {
  sim::Segment segment = sim::parse_segment(r.data);
  for (const auto& field : segment.header) {
    std::string value = decoded(field.first, field.second);
    // packets of a split data segment, and resends (2025)
    if (field.first == "PNUM") value += " (packets in all)";
    if (field.first == "PNO") value += " (packet " + field.second + " of " + (segment.get("PNUM") ? *segment.get("PNUM") : std::string("?")) + ")";
    if (field.first == "RF") value += field.second == "1" ? " (a resend of data the platform did not answer)" : " (not 1: no resend mark)";
    r.fields.emplace_back(field.first, value);
  }
  r.cp = segment.cp_fields;
}

} // namespace

std::vector<Span> find_spans(const std::string& input) {
  std::vector<Span> spans;
  std::size_t pos = input.find("##");
  while (pos != std::string::npos) {
    std::size_t end = input.size();
    for (const char* stop : {"\r\n", "\n", "\\r\\n"}) {
      std::size_t at = input.find(stop, pos + 2);
      if (at != std::string::npos && at < end) end = at;
    }
    Span span;
    span.offset = pos;
    span.bytes = input.substr(pos, end - pos);
    // Log text may follow the frame on its line: cut where the length field says it ends
    // when the frame passes there.
    long announced = std::strtol(span.bytes.substr(2, 4).c_str(), nullptr, 10);
    std::size_t whole = static_cast<std::size_t>(announced) + HJ::kEnvelopeBytes - 2;
    if (announced > 0 && span.bytes.size() > whole && HJ::check_frame(span.bytes.substr(0, whole) + "\r\n")) span.bytes.resize(whole);
    while (!span.bytes.empty() && (span.bytes.back() == ' ' || span.bytes.back() == '\t' || span.bytes.back() == '\r'))
      span.bytes.pop_back();
    spans.push_back(span);
    pos = input.find("##", pos + (span.bytes.size() > 2 ? span.bytes.size() : 2));
  }
  return spans;
}

std::string hex_to_bytes(const std::string& dump) {
  std::string bytes;
  std::size_t i = 0;
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  while (i < dump.size()) {
    std::size_t start = dump.find_first_not_of(" \t\r\n", i);
    if (start == std::string::npos) break;
    std::size_t end = dump.find_first_of(" \t\r\n", start);
    if (end == std::string::npos) end = dump.size();
    std::string token = dump.substr(start, end - start);
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) token = token.substr(2);
    bool pairs = !token.empty() && token.size() % 2 == 0;
    for (char c : token) pairs = pairs && hex(c);
    for (std::size_t k = 0; pairs && k < token.size(); k += 2)
      bytes += static_cast<char>(std::strtol(token.substr(k, 2).c_str(), nullptr, 16));
    i = end;
  }
  return bytes;
}

Report explain(const Span& span) {
  Report r;
  const std::string& s = span.bytes;
  r.accepted = HJ::check_frame(s + "\r\n");
  if (s.size() < 10) {
    r.reasons.push_back("too short: " + std::to_string(s.size()) + " bytes before the line end; \"##\", the length and the CRC alone take 10");
    return r;
  }
  r.length_field = s.substr(2, 4);
  bool digits = r.length_field.find_first_not_of("0123456789") == std::string::npos;
  if (digits) r.announced = std::strtol(r.length_field.c_str(), nullptr, 10);
  std::string data = s.substr(6, s.size() - 10);
  r.actual = data.size();
  r.crc_field = s.substr(s.size() - 4);
  r.crc_computed = crc_of(data);
  bool utf8 = HJ::is_utf8(data.data(), data.size());
  r.charset = is_ascii(data) ? "ASCII" : utf8 ? "UTF-8" : "GB18030";
  r.data = utf8 ? data : HJ::received_text(data);
  if (!r.accepted) explain(data, utf8, r);
  if (!r.accepted && r.reasons.empty()) r.reasons.push_back("length field \"" + r.length_field + "\" read as " + std::to_string(std::strtol(r.length_field.c_str(), nullptr, 10)));
  if (r.crc_field != upper(r.crc_field) && upper(r.crc_field) == r.crc_computed) r.notes.push_back("CRC written in lower case: accepted");
  decode_fields(r);
  return r;
}

std::string text_report(std::size_t number, const Span& span, const Report& r) {
  std::string out = "frame " + std::to_string(number) + " at offset " + std::to_string(span.offset) + ": " +
                    std::to_string(span.bytes.size() + 2) + " bytes with CR LF, " + (r.accepted ? "ACCEPTED" : "REJECTED") + "\n";
  for (const std::string& reason : r.reasons) out += "  reason: " + reason + "\n";
  for (const std::string& note : r.notes) out += "  note:   " + note + "\n";
  if (r.length_field.empty()) return out;
  out += "  length: " + r.length_field + " (data " + std::to_string(r.actual) + " bytes, " + r.charset + ")\n";
  out += "  crc:    " + r.crc_field + " (computed " + r.crc_computed + ")\n";
  for (const auto& field : r.fields) {
    if (field.first == "CP") continue;
    char line[32];
    std::snprintf(line, sizeof line, "  %-7s ", (field.first + ":").c_str());
    out += line + field.second + "\n";
  }
  out += "  CP:     " + std::to_string(r.cp.size()) + (r.cp.size() == 1 ? " item\n" : " items\n");
  std::size_t width = 0;
  for (const auto& item : r.cp) width = item.first.size() > width ? item.first.size() : width;
  for (const auto& item : r.cp) out += "    " + item.first + std::string(width - item.first.size() + 2, ' ') + item.second + "\n";
  return out;
}

namespace {

std::string json_string(const std::string& text) {
  bool utf8 = HJ::is_utf8(text.data(), text.size());
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || (c >= 0x80 && !utf8)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + json_string(items[i]);
  return out + "]";
}

std::string json_pairs(const std::vector<std::pair<std::string, std::string>>& items, bool object) {
  std::string out = object ? "{" : "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += i ? "," : "";
    out += object ? json_string(items[i].first) + ":" + json_string(items[i].second)
                  : "[" + json_string(items[i].first) + "," + json_string(items[i].second) + "]";
  }
  return out + (object ? "}" : "]");
}

} // namespace

std::string json_report(std::size_t number, const Span& span, const Report& r) {
  std::string out = "{\"frame\":" + std::to_string(number) + ",\"offset\":" + std::to_string(span.offset) +
                    ",\"bytes\":" + std::to_string(span.bytes.size() + 2) + ",\"verdict\":\"" + (r.accepted ? "accept" : "reject") +
                    "\",\"reasons\":" + json_list(r.reasons) + ",\"notes\":" + json_list(r.notes);
  if (!r.length_field.empty()) {
    out += ",\"length\":{\"field\":" + json_string(r.length_field) + ",\"announced\":" + std::to_string(r.announced) +
           ",\"actual\":" + std::to_string(r.actual) + "},\"crc\":{\"field\":" + json_string(r.crc_field) +
           ",\"computed\":\"" + r.crc_computed + "\"},\"charset\":\"" + r.charset + "\",\"fields\":" + json_pairs(r.fields, true) +
           ",\"cp\":" + json_pairs(r.cp, false);
  }
  return out + "}";
}

} // namespace frametool
