#include "WebModel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tools/common/Calendar.h"
#include "tools/common/Codes.h"
#include "tools/common/Explain.h"
#include "tools/common/TextSafe.h"
#include "tools/common/sys/System.h"

namespace sim {

namespace {

// Length of the UTF-8 sequence at s[i], 0 when the bytes there are not one.
size_t utf8_length(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t n;
  unsigned cp;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1Fu;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0Fu;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07u;
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3Fu);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

void escape_ascii(char c, std::string& out) {
  switch (c) {
  case '"': out += "\\\""; return;
  case '\\': out += "\\\\"; return;
  case '<': out += "\\u003c"; return;
  case '>': out += "\\u003e"; return;
  case '&': out += "\\u0026"; return;
  default: break;
  }
  unsigned char u = static_cast<unsigned char>(c);
  if (u < 0x20 || u == 0x7F) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", u);
    out += buf;
  } else {
    out += c;
  }
}

bool is_line_separator(std::string_view s, size_t i) { // U+2028, U+2029: line ends to some parsers
  return s.size() >= i + 3 && s[i] == '\xE2' && s[i + 1] == '\x80' && (s[i + 2] == '\xA8' || s[i + 2] == '\xA9');
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string ms(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f", v);
  return buf;
}

bool is_number(const std::string& s, double& v) {
  if (s.empty()) return false;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return end && *end == '\0';
}

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// "yyyyMMddHHmmss" as local time in milliseconds since the epoch; -1 when it is not one.
int64_t data_time_ms(const std::string& t) {
  CivilTime c;
  if (t.size() != 14 || !read_civil(t, c)) return -1;
  std::tm tm{};
  tm.tm_year = static_cast<int>(c.year - 1900);
  tm.tm_mon = static_cast<int>(c.month - 1);
  tm.tm_mday = static_cast<int>(c.day);
  tm.tm_hour = static_cast<int>(c.hour);
  tm.tm_min = static_cast<int>(c.minute);
  tm.tm_sec = static_cast<int>(c.second);
  tm.tm_isdst = -1;
  std::time_t s = std::mktime(&tm);
  return s == static_cast<std::time_t>(-1) ? -1 : static_cast<int64_t>(s) * 1000;
}

std::string local_text(int64_t wall_ms) {
  std::time_t s = static_cast<std::time_t>(wall_ms / 1000);
  std::tm tm{};
  sys::local_time(s, tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// The first `limit` bytes, not cutting a UTF-8 sequence in two.
std::string prefix(const std::string& s, size_t limit) {
  if (s.size() <= limit) return s;
  size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n) + "...";
}

// What a rejection is counted under: the inspector's reason up to its colon ("crc", "length").
std::string reason_kind(const std::string& reason) {
  size_t colon = reason.find(':');
  std::string kind = reason.substr(0, colon == std::string::npos ? 24 : colon);
  if (kind.rfind("length field", 0) == 0) return "length field";
  return kind;
}

const char* const kKindNames[] = {"rtd", "min", "hour", "day"};
const char* const kFieldNames[] = {"Rtd", "Min", "Avg", "Max", "Cou"};

int field_index(const std::string& field) {
  for (int i = 0; i < 5; ++i)
    if (field == kFieldNames[i]) return i;
  return -1;
}

} // namespace

std::string json_text(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size();) {
    size_t n = utf8_length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
    } else if (n == 1) {
      escape_ascii(text[i++], out);
    } else if (is_line_separator(text, i)) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 3;
    } else {
      out.append(text.data() + i, n);
      i += n;
    }
  }
  return out + "\"";
}

std::string harden_json(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (size_t i = 0; i < json.size(); ++i) {
    char c = json[i];
    if (c == '<') out += "\\u003c";
    else if (c == '>') out += "\\u003e";
    else if (c == '&') out += "\\u0026";
    else if (is_line_separator(json, i)) {
      out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else out += c;
  }
  return out;
}

std::string mask_keys(std::string text) {
  static const char kKey[] = "newsk=";
  const size_t klen = sizeof kKey - 1;
  for (size_t i = 0; i + klen <= text.size(); ++i) {
    if (!equals_nocase(std::string_view(text).substr(i, klen), kKey)) continue;
    size_t start = i + klen;
    size_t end = text.find_first_of(";,&\r\n", start);
    if (end == std::string::npos) end = text.size();
    text.replace(start, end - start, "****");
    i = start + 3;
  }
  return text;
}

std::string factor_label(std::string_view code) {
  std::string name = codes::factor_name(code);
  return name == codes::shown(code) ? std::string() : name;
}

std::pair<std::string, std::string> factor_names(std::string_view code) {
  const codes::Pollutant* p = codes::pollutant(code);
  if (!p) p = codes::pollutant_2005(code);
  if (p) return {p->en, p->name};
  if (const codes::SiteInfo* s = codes::site_info(code)) return {s->en, s->name};
  const char *name = nullptr, *en = nullptr;
  if (codes::only_2005(code, name, en)) return {en, name};
  return {};
}

const char* data_kind_name(DataKind kind) {
  switch (kind) {
  case DataKind::Resend: return "resend";
  case DataKind::History: return "history";
  case DataKind::Upload: break;
  }
  return "upload";
}

std::string csv_cell(std::string_view text) {
  std::string cell = text_safe(text); // `cat` of the file is a terminal's, too
  double v;
  if (!cell.empty() && std::strchr("=+-@\t\r", cell[0]) && !is_number(cell, v)) cell.insert(0, "'");
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string out = "\"";
  for (char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void WebModel::emit(const char* event, const std::string& data) {
  std::string msg = "id: " + std::to_string(++m_seq) + "\nevent: " + event + "\ndata: " + data + "\n\n";
  m_event_bytes += msg.size();
  m_events.emplace_back(m_seq, std::move(msg));
  while (m_events.size() > kEvents || (m_event_bytes > kEventBytes && m_events.size() > 1)) {
    m_event_bytes -= m_events.front().second.size();
    m_events.pop_front();
  }
}

bool WebModel::events_after(uint64_t after, size_t max_bytes, std::string& out, uint64_t& last) const {
  last = after;
  if (after >= m_seq) return true;
  if (m_events.empty() || m_events.front().first > after + 1) return false;
  for (size_t i = static_cast<size_t>(after + 1 - m_events.front().first); i < m_events.size() && out.size() < max_bytes; ++i) {
    out += m_events[i].second;
    last = m_events[i].first;
  }
  return true;
}

bool WebModel::frame_bytes(uint64_t seq, std::string& bytes) const {
  if (m_frames.empty() || seq < m_frames.front().seq || seq > m_frames.back().seq) return false;
  bytes = m_frames[static_cast<size_t>(seq - m_frames.front().seq)].bytes;
  return true;
}

WebModel::Station* WebModel::station(const std::string& mn) {
  auto renamed = m_renamed.find(mn);
  const std::string& now = renamed == m_renamed.end() ? mn : renamed->second; // a frame still carrying the old MN
  for (Station& s : m_stations)
    if (s.mn == now) return &s;
  if (m_stations.size() >= kStations) return nullptr; // a station cycling MNs must not grow the table
  m_stations.emplace_back();
  m_stations.back().mn = mn;
  return &m_stations.back();
}

std::string WebModel::stations_json() const {
  const Platform::Counters& c = m_counters;
  std::string out = "{\"link\":{\"peer\":" + json_text(m_peer) + ",\"since\":" + std::to_string(m_since) + ",\"up\":" + (m_up ? "true" : "false") +
                    ",\"connections\":" + std::to_string(m_connections) + "},\"counters\":{\"framesIn\":" + std::to_string(c.frames_in) +
                    ",\"framesOut\":" + std::to_string(c.frames_out) + ",\"badFrames\":" + std::to_string(c.bad_frames) +
                    ",\"resends\":" + std::to_string(c.resends) + ",\"heartbeats\":" + std::to_string(c.heartbeats) +
                    ",\"encrypted\":" + (c.encrypted ? "true" : "false") + "},\"rows\":[";
  for (size_t i = 0; i < m_stations.size(); ++i) {
    const Station& s = m_stations[i];
    std::string rejected;
    for (const auto& r : s.rejected) rejected += (rejected.empty() ? "" : ", ") + r.first + " " + std::to_string(r.second);
    out += std::string(i ? "," : "") + "{\"mn\":" + json_text(s.mn) + ",\"version\":" + json_text(s.version) +
           ",\"charset\":" + json_text(s.charset) + ",\"in\":" + std::to_string(s.in) + ",\"out\":" + std::to_string(s.out) +
           ",\"rejected\":" + json_text(rejected) + ",\"last\":" + std::to_string(s.last) + ",\"previous\":" + json_text(s.previous) +
           ",\"changed\":" + std::to_string(s.changed) + ",\"changes\":" + std::to_string(s.changes) + "}";
  }
  return out + "]}";
}

void WebModel::request_seen(const Segment& seg) {
  std::string cn = seg.value("CN");
  Asked a{seg.value("QN"), cn, seg.value("MN"), std::string()};
  if (cn == "1002") {
    const std::string* mn = seg.cp_get("MN");
    if (!mn || mn->empty()) return;
    a.new_mn = *mn;
  } else if (!seg.cp_get("BeginTime")) {
    return;
  }
  m_asked.push_back(std::move(a));
  if (m_asked.size() > kAsked) m_asked.pop_front();
}

// The first frame carrying a 1002's new MN: the station's row takes it, and keeps the old one as
// "previous", so one station stays one row.
void WebModel::mn_seen(const std::string& mn, int64_t wall_ms) {
  for (auto a = m_asked.begin(); a != m_asked.end(); ++a) {
    if (a->cn != "1002" || a->new_mn != mn || a->mn == mn) continue;
    Station* old = nullptr;
    bool exists = false;
    for (Station& s : m_stations) {
      if (s.mn == a->mn) old = &s;
      if (s.mn == mn) exists = true;
    }
    if (old && !exists) {
      old->previous = old->mn;
      old->mn = mn;
      old->changed = wall_ms;
      ++old->changes;
      for (auto& r : m_renamed)
        if (r.second == old->previous) r.second = mn;
      if (m_renamed.size() < kStations) m_renamed[old->previous] = mn;
    }
    m_asked.erase(a);
    return;
  }
}

DataKind WebModel::data_kind(const Segment& seg) const {
  if (seg.value("RF") == "1") return DataKind::Resend;
  std::string qn = seg.value("QN"), cn = seg.value("CN");
  for (const Asked& a : m_asked)
    if (a.new_mn.empty() && a.qn == qn && a.cn == cn) return DataKind::History;
  return DataKind::Upload;
}

void WebModel::link_up(int64_t wall_ms, const std::string& peer) {
  m_peer = peer;
  m_since = wall_ms;
  m_up = true;
  ++m_connections;
  emit("stations", stations_json());
}

void WebModel::link_down(int64_t wall_ms) {
  m_up = false;
  m_since = wall_ms;
  emit("stations", stations_json());
}

void WebModel::frame(int64_t wall_ms, bool incoming, std::string_view bytes, Verdict verdict) {
  const frametool::Span span = frametool::link_span(bytes);
  frametool::Report r = frametool::explain(span);
  Segment seg = parse_segment(r.data);
  std::string cn = seg.value("CN"), mn = seg.value("MN"), flag = seg.value("Flag");
  bool ok = verdict_ok(verdict);
  std::string reason;
  if (!ok) reason = r.reasons.empty() ? std::string("platform: ") + verdict_text(verdict) : r.reasons.front();
  if (incoming) {
    if (mn.empty()) mn = m_last_mn; // a frame too broken to name its station: the one on the link
    else m_last_mn = mn;
  } else if (ok && seg.has_cp) {
    request_seen(seg);
  }
  // after a 1002 the platform's requests carry the new MN too, often before the station's frames
  if (ok && !m_asked.empty()) mn_seen(mn, wall_ms);
  if (Station* s = station(mn)) {
    s->last = wall_ms;
    if (!incoming) ++s->out;
    else {
      ++s->in;
      if (!flag.empty()) {
        std::string v = flag_text(seg.flag);
        s->version = v.substr(0, v.find(','));
      }
      if (r.charset == "UTF-8" || r.charset == "GB18030") s->charset = r.charset;
      if (!ok) ++s->rejected[reason_kind(reason)];
    }
  }
  const char* name = command_name(cn);
  std::string text = mask_keys(seg.has_cp ? seg.cp : r.data);
  uint64_t seq = ++m_frame_seq;
  std::string summary = "{\"seq\":" + std::to_string(seq) + ",\"t\":" + std::to_string(wall_ms) + ",\"dir\":\"" + (incoming ? "in" : "out") +
                        "\",\"bytes\":" + std::to_string(bytes.size()) + ",\"cn\":" + json_text(cn) + ",\"cnName\":" + json_text(name ? name : "") +
                        ",\"cnZh\":" + json_text(codes::command_text_zh(cn)) + ",\"mn\":" + json_text(mn) + ",\"ok\":" + (ok ? "true" : "false") +
                        ",\"reason\":" + json_text(reason) + ",\"text\":" + json_text(prefix(text, 160)) + "}";
  m_frame_bytes += bytes.size() + summary.size();
  m_frames.push_back(FrameEntry{seq, std::string(bytes), summary}); // whole, so that it reads again as the link's frame
  while (m_frames.size() > kFrames || (m_frame_bytes > kFrameBytes && m_frames.size() > 1)) {
    m_frame_bytes -= m_frames.front().bytes.size() + m_frames.front().summary.size();
    m_frames.pop_front();
  }
  emit("frame", summary);
  if (incoming && ok) values(wall_ms, mn, cn, seg, r.cp);
  emit("stations", stations_json());
}

void WebModel::values(int64_t wall_ms, const std::string& mn, const std::string& cn, const Segment& seg,
                      const std::vector<std::pair<std::string, std::string>>& cp) {
  ValuesFrame f;
  f.mn = mn;
  f.cn = cn;
  f.kind = cn == "2011" ? 0 : cn == "2051" ? 1 : cn == "2061" ? 2 : cn == "2031" ? 3 : -1;
  f.main_field = f.kind == 0 ? "Rtd" : "Avg";
  f.source = data_kind(seg);
  const std::string qn = seg.value("QN"), rf = seg.value("RF");
  f.row_end = "," + csv_cell(qn) + "," + csv_cell(rf) + "," + data_kind_name(f.source) + "\r\n";
  const std::vector<codes::Item> read = codes::read_items(cp, seg.value("ST"), HJ::flag_version(seg.flag));
  std::map<std::string, const codes::Item*> flags; // code -> its Flag item
  for (const codes::Item& item : read) {
    if (item.key == "DataTime") f.data_time = item.value;
    if (item.field == "Flag" && !item.code.empty()) flags[item.code] = &item;
  }
  f.x = data_time_ms(f.data_time);
  f.time = f.x >= 0 ? local_text(f.x) : local_text(wall_ms);
  if (f.x < 0) f.x = wall_ms;
  // an upload in packets is one period: its first packet counts it
  if (f.kind >= 1 && (seg.value("PNO").empty() || seg.value("PNO") == "1")) {
    auto c = m_completeness.find(cn);
    if (c == m_completeness.end()) c = m_completeness.emplace(cn, Completeness{}).first;
    c->second.add(f.x, f.source);
  }
  std::map<std::string, Reading> readings; // this frame's fields per factor, for the latest values
  std::string items;
  for (const codes::Item& item : read) {
    if (item.code.empty() || item.field == "Flag") continue;
    auto flag = flags.find(item.code);
    const std::string json = value_item(f, item, flag == flags.end() ? nullptr : flag->second, readings);
    items += std::string(items.empty() ? "" : ",") + json;
  }
  keep_latest(f, wall_ms, readings);
  emit("values", "{\"t\":" + std::to_string(wall_ms) + ",\"x\":" + std::to_string(f.x) + ",\"mn\":" + json_text(mn) + ",\"cn\":" + json_text(cn) +
                     ",\"kind\":" + json_text(f.kind >= 0 ? kKindNames[f.kind] : "") + ",\"source\":\"" + data_kind_name(f.source) +
                     "\",\"qn\":" + json_text(qn) + ",\"dataTime\":" + json_text(f.data_time) + ",\"items\":[" + items + "]}");
  if (f.kind >= 1) emit("completeness", m_completeness[cn].json(cn));
}

std::string WebModel::value_item(const ValuesFrame& f, const codes::Item& item, const codes::Item* flag_item,
                                 std::map<std::string, Reading>& readings) {
  const std::string& code = item.code;
  const std::string& field = item.field;
  std::string value = mask_keys(item.key + "=" + item.value).substr(item.key.size() + 1);
  const std::string flag = flag_item ? flag_item->value : std::string();
  std::string row = csv_cell(f.time) + "," + csv_cell(f.mn) + "," + csv_cell(f.cn) + "," + csv_cell(code) + "," + csv_cell(field) + "," +
                    csv_cell(value) + "," + csv_cell(flag) + "," + csv_cell(item.unit) + f.row_end;
  if (m_csv.size() + row.size() <= kCsvPending) {
    m_csv += row;
    ++m_csv_rows;
  } else {
    ++m_csv_dropped;
  }
  bool main = f.kind >= 0 && field == f.main_field;
  // the value's notes and its flag's, beside the value
  std::string notes;
  for (const codes::Item* it : {&item, flag_item})
    for (size_t n = 0; it && n < it->notes.size(); ++n) notes += (notes.empty() ? "" : "; ") + it->notes[n].text;
  const std::string flag_meaning = flag_item ? flag_item->flag_meaning : std::string();
  std::pair<std::string, std::string> names = factor_names(code);
  const std::string json = "{\"code\":" + json_text(code) + ",\"name\":" + json_text(factor_label(code)) + ",\"en\":" + json_text(names.first) +
                           ",\"zh\":" + json_text(names.second) + ",\"unit\":" + json_text(item.unit) + ",\"field\":" + json_text(field) +
                           ",\"value\":" + json_text(value) + ",\"flag\":" + json_text(flag) + ",\"flagMeaning\":" + json_text(flag_meaning) +
                           ",\"notes\":" + json_text(notes) + ",\"main\":" + (main ? "true" : "false") + "}";
  int index = field_index(field);
  if (f.kind < 0 || index < 0) return json;
  if (!m_latest.count(code)) {
    if (m_latest.size() >= kFactors) { // bounded: a station inventing codes must not grow the table or the plots
      if (main) ++m_factors_ignored;
      return json;
    }
    m_latest[code].code = code;
  }
  Reading& r = readings[code];
  r.fields[index] = value;
  r.flag = flag;
  r.flag_meaning = flag_meaning;
  for (const codes::Item* it : {&item, flag_item}) // a factor's note comes with each of its fields: once is enough
    for (size_t n = 0; it && n < it->notes.size(); ++n)
      if (r.notes.find(it->notes[n].text) == std::string::npos) r.notes += (r.notes.empty() ? "" : "; ") + it->notes[n].text;
  double v;
  if (main && is_number(value, v)) m_series[{code, f.kind}].add(static_cast<double>(f.x), v, f.source);
  return json;
}

void WebModel::keep_latest(const ValuesFrame& f, int64_t wall_ms, std::map<std::string, Reading>& readings) {
  for (auto& r : readings) {
    auto it = m_latest.find(r.first);
    Reading& kept = it->second.kinds[f.kind];
    if (kept.x >= 0 && f.x < kept.x) continue; // a resend or a history answer of older data: not the latest
    r.second.data_time = f.data_time;
    r.second.x = f.x;
    r.second.source = f.source;
    r.second.at = wall_ms;
    kept = std::move(r.second);
    it->second.at = wall_ms;
  }
}

void WebModel::checks(const std::string& summary, bool broken, const Platform::Counters& c) {
  const Platform::Counters& o = m_counters;
  if (c.frames_in != o.frames_in || c.frames_out != o.frames_out || c.bad_frames != o.bad_frames || c.resends != o.resends ||
      c.heartbeats != o.heartbeats || c.encrypted != o.encrypted || c.answers_sent != o.answers_sent) {
    m_counters = c;
    emit("stations", stations_json());
  }
  if (summary == m_summary && broken == m_broken) return;
  m_summary = summary;
  m_broken = broken;
  emit("checks", "{\"broken\":" + std::string(broken ? "true" : "false") + ",\"summary\":" + json_text(mask_keys(summary)) + "}");
}

void WebModel::web_figures(unsigned clients, unsigned dropped_clients, uint64_t csv_rows, uint64_t csv_dropped, const std::string& csv_path) {
  std::string web = "{\"clients\":" + std::to_string(clients) + ",\"droppedClients\":" + std::to_string(dropped_clients) +
                    ",\"csvRows\":" + std::to_string(csv_rows) + ",\"csvDropped\":" + std::to_string(csv_dropped) +
                    ",\"csvPath\":" + json_text(csv_path) + ",\"factorsIgnored\":" + std::to_string(m_factors_ignored) + "}";
  if (web == m_web) return;
  m_web = web;
  emit("web", web);
}

WebModel::Snapshot WebModel::snapshot() const {
  Snapshot s;
  s.name = m_name;
  s.seq = m_seq;
  s.stations = stations_json();
  s.checks = m_summary.empty() ? "null"
                               : "{\"broken\":" + std::string(m_broken ? "true" : "false") + ",\"summary\":" + json_text(mask_keys(m_summary)) + "}";
  s.web = m_web.empty() ? "null" : m_web;
  for (const FrameEntry& f : m_frames) s.frames.push_back(f.summary);
  s.latest = "[";
  for (const auto& l : m_latest) {
    std::pair<std::string, std::string> names = factor_names(l.first);
    s.latest += std::string(s.latest.size() > 1 ? "," : "") + "{\"code\":" + json_text(l.first) + ",\"name\":" + json_text(factor_label(l.first)) +
                ",\"en\":" + json_text(names.first) + ",\"zh\":" + json_text(names.second) + ",\"unit\":" + json_text(codes::factor_unit(l.first)) +
                ",\"at\":" + std::to_string(l.second.at) + ",\"kinds\":{";
    bool first = true;
    for (int k = 0; k < kKinds; ++k) {
      const Reading& r = l.second.kinds[k];
      if (!r.at) continue;
      s.latest += std::string(first ? "" : ",") + "\"" + kKindNames[k] + "\":{";
      for (int f = 0; f < kFields; ++f) s.latest += std::string("\"") + kFieldNames[f] + "\":" + json_text(r.fields[f]) + ",";
      s.latest += "\"flag\":" + json_text(r.flag) + ",\"flagMeaning\":" + json_text(r.flag_meaning) + ",\"notes\":" + json_text(r.notes) +
                  ",\"dataTime\":" + json_text(r.data_time) + ",\"x\":" + std::to_string(r.x) + ",\"source\":\"" + data_kind_name(r.source) +
                  "\",\"at\":" + std::to_string(r.at) + "}";
      first = false;
    }
    s.latest += "}}";
  }
  s.latest += "]";
  s.completeness = "[";
  for (const auto& c : m_completeness) s.completeness += (s.completeness.size() > 1 ? "," : "") + c.second.json(c.first);
  s.completeness += "]";
  for (const auto& series : m_series) s.series.push_back(Snapshot::Plot{series.first.first, kKindNames[series.first.second], series.second.points()});
  return s;
}

std::string WebModel::snapshot_json(const Snapshot& s) {
  std::string out = "{\"name\":" + json_text(s.name) + ",\"seq\":" + std::to_string(s.seq) + ",\"stations\":" + s.stations +
                    ",\"checks\":" + s.checks + ",\"web\":" + s.web + ",\"frames\":[";
  for (size_t i = 0; i < s.frames.size(); ++i) out += (i ? "," : "") + s.frames[i];
  out += "],\"latest\":" + s.latest + ",\"completeness\":" + s.completeness + ",\"series\":[";
  for (size_t i = 0; i < s.series.size(); ++i) {
    const Snapshot::Plot& plot = s.series[i];
    std::pair<std::string, std::string> names = factor_names(plot.code);
    out += std::string(i ? "," : "") + "{\"code\":" + json_text(plot.code) + ",\"name\":" + json_text(factor_label(plot.code)) +
           ",\"en\":" + json_text(names.first) + ",\"zh\":" + json_text(names.second) + ",\"unit\":" + json_text(codes::factor_unit(plot.code)) +
           ",\"kind\":" + json_text(plot.kind) + ",\"points\":[";
    const auto& points = plot.points;
    for (size_t k = 0; k < points.size(); ++k)
      out += (k ? ",[" : "[") + ms(points[k].t) + "," + num(points[k].v) + (points[k].mark ? "," + std::to_string(points[k].mark) : "") + "]";
    out += "]}";
  }
  return out + "]}";
}

} // namespace sim
