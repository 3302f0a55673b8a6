#include "Hj212Text.h"

#include "Codes.h"

#include <iconv.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace sim {

uint16_t crc16(std::string_view data) {
  uint16_t reg = 0xFFFF;
  for (unsigned char byte : data) {
    reg = static_cast<uint16_t>((reg >> 8) ^ byte);
    for (int i = 0; i < 8; ++i) {
      bool low = reg & 1u;
      reg = static_cast<uint16_t>(reg >> 1);
      if (low) reg ^= 0xA001;
    }
  }
  return reg;
}

std::string crc_text(std::string_view data) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(crc16(data)));
  return buf;
}

std::string wrap(std::string_view segment) {
  char len[16];
  std::snprintf(len, sizeof len, "%04zu", segment.size());
  std::string out;
  out.reserve(segment.size() + 16);
  out += "##";
  out += len;
  out += segment;
  out += crc_text(segment);
  out += "\r\n";
  return out;
}

const char* verdict_text(Verdict v) {
  switch (v) {
  case Verdict::Ok: return "crc ok";
  case Verdict::OkAfterConversion: return "crc ok over UTF-8";
  case Verdict::TooShort: return "BAD: too short";
  case Verdict::NoStart: return "BAD: no ##";
  case Verdict::NoEnd: return "BAD: no CR LF";
  case Verdict::BadLengthField: return "BAD: length field";
  case Verdict::LengthMismatch: return "BAD: length";
  case Verdict::BadCrc: return "BAD: crc";
  }
  return "BAD";
}

bool gb18030_to_utf8(std::string_view in, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", "GB18030");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(in.size() * 2 + 4, '\0'); // GB18030 never grows by more than 2x into UTF-8
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = &out[0];
  size_t dst_left = out.size();
  size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) return false;
  out.resize(out.size() - dst_left);
  return true;
}

namespace {

bool has_high_bytes(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return true;
  return false;
}

// Length and CRC over `segment`, given the frame's fields.
Verdict check_body(std::string_view segment, long declared, std::string_view crc_field, std::string& expected) {
  if (declared < 0 || static_cast<size_t>(declared) != segment.size()) return Verdict::LengthMismatch;
  expected = crc_text(segment);
  return crc_field == expected ? Verdict::Ok : Verdict::BadCrc;
}

} // namespace

FrameCheck check_frame(std::string_view frame) {
  FrameCheck c;
  if (frame.size() < 12) return c;
  if (frame.substr(0, 2) != "##") {
    c.verdict = Verdict::NoStart;
    return c;
  }
  if (frame.substr(frame.size() - 2) != "\r\n") {
    c.verdict = Verdict::NoEnd;
    return c;
  }
  long declared = 0;
  for (size_t i = 2; i < 6; ++i) {
    unsigned char d = static_cast<unsigned char>(frame[i]);
    if (d < '0' || d > '9') {
      c.verdict = Verdict::BadLengthField;
      return c;
    }
    declared = declared * 10 + (d - '0');
  }
  c.declared_length = declared;
  std::string_view wire = frame.substr(6, frame.size() - 12);
  c.crc_field = std::string(frame.substr(frame.size() - 6, 4));
  c.segment = std::string(wire);
  c.verdict = check_body(wire, declared, c.crc_field, c.crc_expected);
  if (c.verdict != Verdict::Ok && has_high_bytes(wire)) {
    std::string utf8;
    std::string expected;
    if (gb18030_to_utf8(wire, utf8) && check_body(utf8, declared, c.crc_field, expected) == Verdict::Ok) {
      c.verdict = Verdict::OkAfterConversion;
      c.segment = std::move(utf8);
      c.crc_expected = std::move(expected);
    }
  }
  if (c.verdict == Verdict::LengthMismatch && c.crc_expected.empty()) c.crc_expected = crc_text(wire);
  return c;
}

namespace {

void split_fields(std::string_view text, const char* seps, std::vector<std::pair<std::string, std::string>>& out) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(seps, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string_view::npos)
        out.emplace_back(std::string(item), std::string());
      else
        out.emplace_back(std::string(item.substr(0, eq)), std::string(item.substr(eq + 1)));
    }
    pos = end + 1;
  }
}

const std::string* find_in(const std::vector<std::pair<std::string, std::string>>& fields, std::string_view key) {
  for (const auto& f : fields)
    if (f.first == key) return &f.second;
  return nullptr;
}

} // namespace

const std::string* Segment::get(std::string_view key) const { return find_in(header, key); }
const std::string* Segment::cp_get(std::string_view key) const { return find_in(cp_fields, key); }

Segment parse_segment(std::string_view segment) {
  Segment s;
  size_t cp = segment.find("CP=&&");
  split_fields(segment.substr(0, cp), ";", s.header);
  if (cp != std::string_view::npos) {
    s.has_cp = true;
    std::string_view rest = segment.substr(cp + 5);
    size_t close = rest.rfind("&&");
    s.cp = std::string(rest.substr(0, close));
    split_fields(s.cp, ";,", s.cp_fields);
  }
  return s;
}

namespace {

enum class TimeStyle { Qn, DataTime, Clock };

std::string time_text(TimeStyle style) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  char buf[64];
  int ms = static_cast<int>(tv.tv_usec / 1000);
  if (style == TimeStyle::Clock) {
    size_t n = std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", ms);
  } else {
    size_t n = std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &local);
    if (style == TimeStyle::Qn) std::snprintf(buf + n, sizeof buf - n, "%03d", ms);
  }
  return buf;
}

} // namespace

std::string qn_text() { return time_text(TimeStyle::Qn); }
std::string datatime_text() { return time_text(TimeStyle::DataTime); }
std::string clock_text() { return time_text(TimeStyle::Clock); }

namespace {

int flag_value(std::string_view flag) {
  if (flag.empty() || flag.size() > 3) return -1;
  int value = 0;
  for (char c : flag) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= 255 ? value : -1;
}

} // namespace

const char* command_name(std::string_view cn) { return codes::command_text(cn); }
const char* system_name(std::string_view st) {
  const codes::System* s = codes::system(st);
  return s ? s->en : nullptr;
}

int flag_version(std::string_view flag) {
  int value = flag_value(flag);
  return value < 0 ? -1 : value >> 2;
}

std::string flag_text(std::string_view flag) {
  int value = flag_value(flag);
  if (value < 0) return "not a number 0..255";
  static const char* const kVersions[] = {"HJ/T 212-2005", "HJ 212-2017", "HJ 212-2025"};
  int version = value >> 2;
  std::string out = version < 3 ? kVersions[version] : "protocol version " + std::to_string(version) + " (unknown)";
  out += (value & 2) ? ", split into packets" : ", one packet";
  out += (value & 1) ? ", answer wanted" : ", no answer wanted";
  return out;
}

std::string mask_keys(std::string_view text) {
  static constexpr std::string_view kKey = "NewSK=";
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(kKey); at != std::string_view::npos; at = text.find(kKey, from)) {
    size_t value = at + kKey.size();
    size_t end = text.find_first_of(";,&\r\n", value);
    if (end == std::string_view::npos) end = text.size();
    out.append(text.substr(from, value - from));
    if (end > value) out += "****";
    from = end;
  }
  out.append(text.substr(from));
  return out;
}

namespace {

// Length of the well-formed UTF-8 character at `at` (ASCII included), 0 when none starts there.
bool well_formed_utf8(std::string_view s) {
  for (size_t at = 0; at < s.size();) {
    const size_t n = utf8_char(s, at);
    if (n == 0) return false;
    at += n;
  }
  return true;
}

} // namespace

size_t utf8_char(std::string_view s, size_t at) {
  const unsigned char c = static_cast<unsigned char>(s[at]);
  if (c < 0x80) return 1;
  const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || at + n > s.size()) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(s[at + i]) & 0xC0) != 0x80) return 0;
  const unsigned char d = static_cast<unsigned char>(s[at + 1]);
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F)) return 0;
  return n;
}

std::string readable_text(std::string_view text) {
  std::string converted;
  if (has_high_bytes(text) && !well_formed_utf8(text) && gb18030_to_utf8(text, converted)) text = converted;
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  size_t run = 0; // bytes from here on go out as they are, up to the next one escaped
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x7F) {
      ++at;
      continue;
    }
    size_t n = c < 0x20 || c == 0x7F ? 0 : utf8_char(text, at);
    if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) n = 0; // C1 controls: a terminal obeys them too
    if (n != 0) {
      at += n;
      continue;
    }
    out.append(text.substr(run, at - run));
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
    run = ++at;
  }
  out.append(text.substr(run));
  return out;
}

std::string describe_frame(std::string_view frame) {
  FrameCheck c = check_frame(frame);
  std::string out = std::to_string(frame.size()) + " B, " + verdict_text(c.verdict);
  if (c.verdict == Verdict::BadCrc) out += " (field " + c.crc_field + ", computed " + c.crc_expected + ")";
  if (c.verdict == Verdict::LengthMismatch)
    out += " (field " + std::to_string(c.declared_length) + ", data " + std::to_string(c.segment.size()) + ")";
  if (c.segment.empty()) return out;
  Segment s = parse_segment(c.segment);
  static const char* const kYears[] = {", 2005", ", 2017", ", 2025"};
  int version = flag_version(s.value("Flag"));
  if (version >= 0) out += version < 3 ? kYears[version] : ", version " + std::to_string(version);
  for (const char* key : {"QN", "ST", "CN", "MN"}) {
    if (const std::string* v = s.get(key)) {
      out += ' ';
      out += key;
      out += '=';
      out += readable_text(*v);
    }
  }
  std::string cp = readable_text(mask_keys(s.cp));
  if (cp.size() > 120) {
    size_t cut = 120;
    while (cut > 0 && (static_cast<unsigned char>(cp[cut]) & 0xC0) == 0x80) --cut; // not inside a character
    cp = cp.substr(0, cut) + "...";
  }
  if (s.has_cp && !cp.empty()) out += " CP=" + cp;
  return out;
}

} // namespace sim
