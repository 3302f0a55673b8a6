#include "Hj212Text.h"
#include "TextSafe.h"
#include "tools/common/sys/System.h"

#include "Codes.h"
#include "hj212/Charset.h"
#include "hj212/Envelope.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace sim {

namespace {

// `comma`: ',' separates fields too (the CP region), besides ';'.
void split_fields(std::string_view text, bool comma, std::vector<std::pair<std::string, std::string>>& out) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = comma ? pos : std::min(text.find(';', pos), text.size());
    while (comma && end < text.size() && text[end] != ';' && text[end] != ',') ++end;
    std::string_view item = text.substr(pos, end - pos);
    if (!item.empty()) {
      size_t eq = item.find('=');
      if (eq == std::string_view::npos) out.emplace_back(std::string(item), std::string());
      else out.emplace_back(std::string(item.substr(0, eq)), std::string(item.substr(eq + 1)));
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
  const char* open = HJ::find_cp_open(segment.data(), segment.size());
  size_t cp = open ? static_cast<size_t>(open - segment.data()) : std::string_view::npos;
  s.header.reserve(8);
  split_fields(segment.substr(0, cp), false, s.header);
  s.flag = HJ::header_flag(segment.data(), segment.size());
  if (cp != std::string_view::npos) {
    s.has_cp = true;
    std::string_view rest = segment.substr(cp + HJ::kCpOpenBytes);
    size_t close = rest.rfind("&&");
    s.cp = std::string(rest.substr(0, close));
    split_fields(s.cp, true, s.cp_fields);
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
  sys::local_time(secs, local);
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

const char* command_name(std::string_view cn) { return codes::command_text(cn); }
const char* system_name(std::string_view st) {
  const codes::System* s = codes::system(st);
  return s ? s->en : nullptr;
}

std::string flag_text(int value) {
  if (value < 0) return "not a number 0..255";
  static const char* const kVersions[] = {"HJ/T 212-2005", "HJ 212-2017", "HJ 212-2025"};
  int version = HJ::flag_version(value);
  std::string out;
  out.reserve(64);
  out += version < 3 ? kVersions[version] : "protocol version " + std::to_string(version) + " (unknown)";
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

bool has_high_bytes(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return true;
  return false;
}

} // namespace

std::string readable_text(std::string_view text) {
  std::string converted;
  // Bytes that are GB18030 through and through read as its text; anything else stays byte by byte.
  if (has_high_bytes(text) && !HJ::is_utf8(text.data(), text.size()) && HJ::is_gb18030(text.data(), text.size()) &&
      HJ::gb18030_to_utf8(std::string(text), converted))
    text = converted;
  return text_safe(text);
}

namespace {

// The plug-in's verdict on a frame, in a trace's words, with the fields that failed.
std::string verdict_words(std::string_view frame) {
  const std::string bytes(frame);
  switch (HJ::classify_frame(bytes.data(), bytes.size())) {
  case HJ::Verdict::Accepted: return "crc ok";
  case HJ::Verdict::BadLength:
    if (frame.size() <= HJ::kEnvelopeBytes || frame.compare(0, 2, "##") != 0) return "BAD: no frame";
    return "BAD: length (field " + std::string(frame.substr(HJ::kLengthFieldAt, 4)) + ", data " + std::to_string(frame.size() - HJ::kEnvelopeBytes) +
           ")";
  case HJ::Verdict::BadCrc: break;
  }
  const std::string data = bytes.substr(HJ::kDataAt, bytes.size() - HJ::kEnvelopeBytes);
  return "BAD: crc (field " + std::string(frame.substr(frame.size() - HJ::kCrcFromEnd, HJ::kCrcDigits)) + ", computed " + HJ::do_crc_check(data) +
         ")";
}

} // namespace

std::string describe_frame(std::string_view frame) {
  std::string out = std::to_string(frame.size()) + " B, " + verdict_words(frame);
  if (frame.size() <= HJ::kEnvelopeBytes || frame.compare(0, 2, "##") != 0) return out;
  Segment s = parse_segment(frame.substr(HJ::kDataAt, frame.size() - HJ::kEnvelopeBytes));
  static const char* const kYears[] = {", 2005", ", 2017", ", 2025"};
  int version = HJ::flag_version(s.flag);
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
