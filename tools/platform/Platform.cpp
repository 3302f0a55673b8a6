#include "Platform.h"

#include "Sm4.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "Charset.h"
#include "CpCipher.h"
#include "Envelope.h"

namespace sim {

namespace {

const char* const kJunk = "AT+NOISE\r\n"; // modem noise; never ends in '#', which would glue onto "##"
const int kSplitGapMs = 60;                // longer than the plug-in's 40 ms read wait: separate reads

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// Days from 1970-01-01 on the proleptic Gregorian calendar, and back.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y = yoe + era * 400 + (m <= 2);
}

// yyyyMMddhhmmss (a DataTime, or a QN's first 14 digits) as seconds on the calendar; false when it does not read.
bool civil_seconds(const std::string& text, int64_t& out) {
  if (text.size() != 14) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto num = [&](size_t at, size_t n) { return static_cast<int64_t>(std::stoll(text.substr(at, n))); };
  const int64_t y = num(0, 4), mo = num(4, 2), d = num(6, 2), h = num(8, 2), mi = num(10, 2), sec = num(12, 2);
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 59) return false;
  out = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec;
  return true;
}

std::string civil_text(int64_t s) {
  int64_t days = s >= 0 ? s / 86400 : (s - 86399) / 86400, rest = s - days * 86400, y = 0, m = 0, d = 0;
  civil_from_days(days, y, m, d);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld%02lld%02lld%02lld%02lld%02lld", static_cast<long long>(y), static_cast<long long>(m),
                static_cast<long long>(d), static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return buf;
}

// A QN (yyyyMMddhhmmsszzz) as milliseconds on the calendar: when the station's clock sent the frame.
bool qn_time_ms(const std::string& qn, int64_t& out) {
  int64_t s = 0;
  if (qn.size() != 17 || !civil_seconds(qn.substr(0, 14), s) || qn.find_first_not_of("0123456789", 14) != std::string::npos)
    return false;
  out = s * 1000 + std::stoll(qn.substr(14));
  return true;
}

// A history request's CP time (BeginTime, EndTime): its seconds, -1 when absent or unreadable.
int64_t cp_time(const Segment& cp, const char* key, std::string& text) {
  const std::string* v = cp.cp_get(key);
  text = v ? *v : std::string();
  int64_t s = 0;
  return v && civil_seconds(*v, s) ? s : -1;
}

// A 9011's QnRtn or a 9012's ExeRtn saying the request is not carried out; "no data" (ExeRtn=100) did its part.
bool refusal_code(const char* field, const std::string& code) { return code != "1" && !(std::string(field) == "ExeRtn" && code == "100"); }

int to_int(const std::string& s, int dflt) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  return (end && *end == '\0' && !s.empty()) ? static_cast<int>(v) : dflt;
}

std::string stats(const std::vector<int64_t>& v) {
  if (v.empty()) return "-";
  int64_t lo = v[0], hi = v[0], sum = 0;
  for (int64_t x : v) {
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
    sum += x;
  }
  return "min " + std::to_string(lo) + " ms, avg " + std::to_string(sum / static_cast<int64_t>(v.size())) + " ms, max " +
         std::to_string(hi) + " ms";
}

// The wrong CRC or length field a corrupt request carries.
void spoil(const Misbehaviour& bad, std::string& f) {
  if (bad.bad_crc) {
    char& last = f[f.size() - 3];
    last = last == '0' ? '1' : '0';
  }
  if (bad.bad_length) {
    char len[16];
    std::snprintf(len, sizeof len, "%04zu", f.size() - 12 + 1);
    f.replace(2, 4, len);
  }
}

// A request's misbehaviour as its log line shows it, each mark after a space; `cipher`: the form
// it went out encrypted in, or null.
std::string request_marks(const Misbehaviour& bad, const char* cipher) {
  std::string marks;
  if (bad.junk) marks += " junk";
  if (bad.split) marks += " split";
  if (bad.delay_ms) marks += " delay=" + std::to_string(bad.delay_ms);
  if (bad.bad_crc) marks += " bad-crc";
  if (bad.bad_length) marks += " bad-length";
  if (cipher) marks += std::string(" encrypted (") + cipher + ")";
  return marks;
}

// An interval of 0 or less in a request's CP ("RtdInterval=0"), which a station must refuse; empty when none.
std::string invalid_value(const Segment& seg) {
  for (const auto& kv : seg.cp_fields) {
    const std::string& key = kv.first;
    const char* const suffix = "Interval";
    if (key.size() < 8 || key.compare(key.size() - 8, 8, suffix) != 0 || kv.second.empty()) continue;
    char* end = nullptr;
    double v = std::strtod(kv.second.c_str(), &end);
    if (*end == '\0' && v <= 0) return key + "=" + kv.second;
  }
  return std::string();
}

// A problem's cause: its text with the QNs, times and MNs that tell one frame from the next
// masked (runs of six digits and more).
std::string cause_of(const std::string& what) {
  std::string key;
  key.reserve(what.size());
  for (size_t i = 0; i < what.size();) {
    size_t j = i;
    while (j < what.size() && what[j] >= '0' && what[j] <= '9') ++j;
    if (j - i >= 6) key += '#';
    else key.append(what, i, j == i ? 1 : j - i);
    i = j == i ? i + 1 : j;
  }
  return key;
}

// A request's reply= (what comes back) or expect= (whether it is carried out): what is wrong, or empty.
std::string answer_item(const std::string& key, const std::string& value, Step& s) {
  if (key == "reply") {
    if (value == "full") s.reply = Step::Full;
    else if (value == "ack") s.reply = Step::Ack;
    else if (value == "none") s.reply = Step::None;
    else return "reply is full, ack or none";
  } else {
    if (value == "accepted") s.expect = Step::Accepted;
    else if (value == "refused") s.expect = Step::Refused;
    else if (value == "any") s.expect = Step::Either;
    else return "expect is accepted, refused or any";
  }
  return std::string();
}

// The rule a request's exchange is held to, as the report words it.
std::string exchange_rule(const Step& s, bool history, bool invalid, int timeout_ms) {
  const std::string within = " within " + std::to_string(timeout_ms) + " ms";
  if (s.bad.bad_crc || s.bad.bad_length) return "a corrupt request (wrong CRC or length) goes unanswered";
  if (s.reply == Step::None) return "the request goes unanswered, as its step says";
  if (invalid || s.expect == Step::Refused) return "refused: a 9011 with QnRtn other than 1, or a 9012 with ExeRtn other than 1 and 100," + within;
  const std::string carried = s.expect == Step::Either ? "answered, carried out or refused: " : "carried out: ";
  if (history) return carried + "9011 QnRtn=1, the records asked for, then 9012 ExeRtn=1 (100: no data), in that order," + within;
  if (s.reply == Step::Ack) return carried + "9011 QnRtn=1" + within;
  return carried + "9011 QnRtn=1, then the data asked for or 9012 ExeRtn=1, in that order," + within;
}

} // namespace

std::string default_scenario() {
  return "request CN=1062 CP=RtdInterval=2\n"
         "request CN=1011\n"
         "request CN=2011\n"
         "uploads CN=2011 count=2 timeout=10000\n";
}

namespace {
// What a platform's acceptance asks of every station, 2017 or 2025: the interval set and read
// back, the clock read and set, uploads started, history of each period data (a range with
// records, once a minute record came, and one with none: ExeRtn=100), uploads stopped and
// started again.
const char* const kEveryDuty =
    "request CN=1062 CP=RtdInterval=2;Note=\xE5\x9C\xA8\xE7\xBA\xBF # Chinese text in a request\n"
    "request CN=1061 # the interval read back\n"
    "request CN=1011\n"
    "request CN=1012 CP=SystemTime={now}\n"
    "request CN=3020 # site information: the station answers with its Chinese site name\n"
    "request CN=2011\n"
    "uploads CN=2011 count=2 timeout=10000\n"
    "uploads CN=2051 count=1 # a minute record, for the history request after it\n"
    "request CN=2051 CP=BeginTime={now-1h};EndTime={now+10m} # records: 9011, the records, 9012 ExeRtn=1\n"
    "request CN=2061 CP=BeginTime={now-1d};EndTime={now+10m} # what the station has, or ExeRtn=100\n"
    "request CN=2031 CP=BeginTime={today-7d};EndTime={now+1d}\n"
    "request CN=2051 CP=BeginTime=20200101000000;EndTime=20200102000000 # none: 9011, 9012 ExeRtn=100\n"
    "request CN=2012\n"
    "pause 5000 # an upload the station sent after the stop shows here\n"
    "request CN=2011 # started again\n"
    "uploads CN=2011 count=2 timeout=10000\n";
} // namespace

std::string standard_scenario(bool keyed) {
  (void)keyed; // the history requests go out encrypted with a key
  return kEveryDuty;
}

std::string station_2025_scenario() {
  return std::string(kEveryDuty) + duties_2025() + "uploads CN=2011 count=2 timeout=10000 # with the new MN and key\n";
}

bool parse_periods(const std::string& list, std::map<std::string, int>& periods, std::string& error) {
  std::map<std::string, int> out = periods;
  std::istringstream in(list);
  std::string item;
  bool any = false;
  while (std::getline(in, item, ',')) {
    const size_t eq = item.find('=');
    const std::string cn = item.substr(0, eq);
    const int seconds = eq == std::string::npos ? -1 : to_int(item.substr(eq + 1), -1);
    if (!out.count(cn)) {
      error = "--periods: \"" + item + "\": CN is 2051 (minute), 2061 (hourly) or 2031 (daily)";
      return false;
    }
    if (seconds < 1 || seconds > 31 * 86400) {
      error = "--periods: \"" + item + "\": the period is whole seconds, 1 to 2678400";
      return false;
    }
    out[cn] = seconds;
    any = true;
  }
  if (!any || list.back() == ',') {
    error = "--periods wants CN=S[,CN=S...]";
    return false;
  }
  periods = std::move(out);
  return true;
}

bool expand_times(const std::string& text, int64_t local_s, std::string& out, std::string& error) {
  std::string result;
  size_t from = 0;
  for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', from)) {
    const size_t close = text.find('}', open);
    if (close == std::string::npos) break;
    const std::string name = text.substr(open + 1, close - open - 1);
    const bool today = starts_with(name, "today");
    int64_t at = today ? local_s - ((local_s % 86400) + 86400) % 86400 : local_s;
    const size_t base = today ? 5 : starts_with(name, "now") ? 3 : std::string::npos;
    bool known = base != std::string::npos;
    if (known && base < name.size()) { // +N or -N and a unit
      const char sign = name[base];
      const std::string digits = name.substr(base + 1, name.size() - base - 2);
      const char unit = name.back();
      const int64_t scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
      known = (sign == '+' || sign == '-') && scale && !digits.empty() && digits.size() <= 6 &&
              digits.find_first_not_of("0123456789") == std::string::npos;
      if (known) at += (sign == '-' ? -1 : 1) * std::stoll(digits) * scale;
    }
    if (!known) {
      error = "unknown placeholder {" + name + "} ({now}, {today}, either +N or -N with s, m, h or d: {now-1h})";
      return false;
    }
    result.append(text, from, open - from);
    result += civil_text(at);
    from = close + 1;
  }
  result.append(text, from, std::string::npos);
  out = std::move(result);
  return true;
}

bool parse_scenario(const std::string& text, std::vector<Step>& out, std::string& error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::vector<Step> steps;
  while (std::getline(in, line)) {
    ++number;
    size_t hash = line.find('#');
    std::string body = hash == std::string::npos ? line : line.substr(0, hash);
    std::istringstream words(body);
    std::string kind;
    if (!(words >> kind)) continue;
    Step s;
    s.text = body;
    auto fail = [&](const std::string& why) {
      error = "scenario line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (kind == "request") s.kind = Step::Request;
    else if (kind == "pause") s.kind = Step::Pause;
    else if (kind == "drop") s.kind = Step::Drop;
    else if (kind == "uploads") s.kind = Step::Uploads;
    else if (kind == "leave") s.kind = Step::Leave;
    else return fail("unknown step \"" + kind + "\" (request, pause, drop, uploads, leave)");
    std::string w;
    while (words >> w) {
      std::string expanded, unknown;
      if (!expand_times(w, 0, expanded, unknown)) return fail(unknown);
      size_t eq = w.find('=');
      std::string key = w.substr(0, eq);
      std::string value = eq == std::string::npos ? std::string() : w.substr(eq + 1);
      if (s.kind == Step::Pause && eq == std::string::npos) {
        s.pause_ms = to_int(w, -1);
        if (s.pause_ms < 0) return fail("pause wants milliseconds");
      } else if (key == "CN") s.cn = value;
      else if (key == "CP") s.cp = value;
      else if (key == "ST") s.st = value;
      else if (key == "PW") s.pw = value;
      else if (key == "MN") s.mn = value;
      else if (key == "Flag") s.flag = value;
      else if (key == "split") s.bad.split = true;
      else if (key == "junk") s.bad.junk = true;
      else if (key == "bad-crc") s.bad.bad_crc = true;
      else if (key == "bad-length") s.bad.bad_length = true;
      else if (key == "delay") s.bad.delay_ms = to_int(value, -1);
      else if (key == "timeout") s.timeout_ms = to_int(value, -1);
      else if (key == "count") s.count = to_int(value, -1);
      else if (key == "reply" || key == "expect") {
        std::string why = answer_item(key, value, s);
        if (!why.empty()) return fail(why);
      } else return fail("unknown item \"" + w + "\"");
    }
    if (s.bad.delay_ms < 0 || s.timeout_ms < 0 || s.count < 0) return fail("a number is expected");
    if ((s.kind == Step::Request || s.kind == Step::Uploads || s.kind == Step::Leave) && s.cn.empty()) return fail(kind + " needs CN=");
    if (s.kind == Step::Leave && !is_duty_2025(s.cn)) return fail("leave names a 2025 duty: " + duties_2025_list());
    if (s.bad.bad_crc || s.bad.bad_length) s.reply = Step::None; // a corrupt frame must go unanswered
    steps.push_back(s);
  }
  out = std::move(steps);
  return true;
}

bool apply_misbehaviour(const std::string& list, std::vector<Step>& steps, PlatformOptions& options, std::string& error) {
  std::istringstream in(list);
  std::string item;
  size_t first_request = steps.size();
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].kind == Step::Request) {
      first_request = i;
      break;
    }
  while (std::getline(in, item, ',')) {
    if (item.empty()) continue;
    if (item == "key-ack" || item == "quiet-heartbeat") {
      (item == "key-ack" ? options.key_request_ack_only : options.heartbeat_unanswered) = true;
      continue;
    }
    if (item == "split" || item == "junk" || starts_with(item, "delay=")) {
      int delay = starts_with(item, "delay=") ? to_int(item.substr(6), -1) : 0;
      if (delay < 0) {
        error = "delay wants milliseconds";
        return false;
      }
      for (Step& s : steps) {
        if (s.kind != Step::Request) continue;
        if (item == "split") s.bad.split = true;
        else if (item == "junk") s.bad.junk = true;
        else s.bad.delay_ms = delay;
      }
      if (delay > 0) options.answer_delay_ms = delay;
    } else if (item == "bad-crc" || item == "bad-length" || item == "drop") {
      if (first_request == steps.size()) {
        error = item + " needs a request in the scenario";
        return false;
      }
      Step s = steps[first_request];
      if (item == "drop") {
        Step d;
        d.kind = Step::Drop;
        d.text = "drop";
        steps.insert(steps.begin() + static_cast<long>(first_request) + 1, d);
        continue;
      }
      // a corrupted copy of the first request goes first; the station must ignore it
      s.bad.bad_crc = item == "bad-crc";
      s.bad.bad_length = item == "bad-length";
      s.reply = Step::None;
      s.text += " " + item;
      steps.insert(steps.begin() + static_cast<long>(first_request), s);
      ++first_request;
    } else {
      error = "unknown misbehaviour \"" + item + "\" (split, junk, bad-crc, bad-length, delay=MS, drop, key-ack, quiet-heartbeat)";
      return false;
    }
  }
  return true;
}

Platform::Platform(std::vector<Step> steps, PlatformOptions options, Log log)
    : m_steps(std::move(steps)), m_opt(std::move(options)), m_log(std::move(log)) {
  if (m_opt.standard >= 2025 && !m_opt.key.empty())
    m_flows = std::make_unique<Flows2025>(m_opt, m_log, [this](const std::string& what) { problem(what); },
                                          [this](const std::string& what) { note(what); });
  const bool st_given = !m_opt.st.empty();
  if (!st_given) m_opt.st = "32"; // the commonest, until the station's first data frame tells its own
  m_duties = std::make_unique<StationDuties>(m_opt.st, st_given, [this](const std::string& what, const std::string& cause) { problem(what, cause); });
  m_scanner.follow_announced_length(!m_opt.key.empty()); // raw ciphertext holds CR LF and "##"
  m_report.edition(m_opt.standard);
}

void Platform::problem(const std::string& what, const std::string& cause) {
  if (++m_problem_count <= kKeptProblems) m_log("PROBLEM: " + what); // a flooding station must not flood the log
  const std::string key = cause.empty() ? cause_of(what) : cause;
  m_report.problem(what, key);
  auto it = m_cause_index.find(key);
  if (it != m_cause_index.end()) {
    ++m_causes[it->second].count;
  } else if (m_causes.size() < kKeptProblems) { // nor grow this without end
    m_cause_index.emplace(key, m_causes.size());
    m_causes.push_back(Cause{what, 1});
  } else {
    ++m_uncaused;
  }
}

void Platform::note(const std::string& what) {
  ++m_note_count;
  if (m_notes.size() >= kKeptProblems) return;
  m_notes.push_back(what);
  m_log("NOTE: " + what);
}

std::string Platform::next_qn() {
  std::string qn = qn_text();
  if (qn <= m_last_qn) { // same millisecond: count on from the last one, QNs stay unique
    qn = m_last_qn;
    for (size_t i = qn.size(); i-- > 0;) {
      if (qn[i] < '9') {
        ++qn[i];
        break;
      }
      qn[i] = '0';
    }
  }
  m_last_qn = qn;
  return qn;
}

void Platform::queue(const std::string& bytes, int64_t at, bool drop) {
  m_out.push_back(Out{at, bytes, drop});
}

void Platform::connected(int64_t now, const std::string& peer) {
  m_connected = true;
  ++m_connections;
  m_peer = peer;
  m_log("station connected (" + peer + ")");
  if (m_observer) m_observer->link_up(peer);
  if (m_flows) m_flows->connected(now);
  m_duties->connected();
  if (m_drop == LinkDrop::Down) {
    m_drop = LinkDrop::Done;
    m_log("station back " + std::to_string(now - m_drop_started) + " ms after the link was dropped");
    if (m_step_waits_link) {
      m_step_waits_link = false;
      start_step(now);
    }
    return;
  }
  if (m_first_connect < 0) {
    m_first_connect = now;
    m_start_local_s = local_now_s() + 1; // the whole seconds after it: a second begun before it is the station's own
    start_step(now);
  } else if (m_waiting_reconnect) {
    m_waiting_reconnect = false;
    m_log("station reconnected after the drop");
    finish_step(now);
  }
}

void Platform::disconnected(int64_t now, const std::string& closed_here) {
  if (!m_connected) return;
  m_connected = false;
  if (m_observer) m_observer->link_down();
  m_scanner.feed(m_unread.data(), m_unread.size(), [&](FrameScanner::Kind, std::string_view bytes) { m_junk_bytes += static_cast<unsigned>(bytes.size()); });
  m_scanner.flush([&](FrameScanner::Kind, std::string_view bytes) { m_junk_bytes += static_cast<unsigned>(bytes.size()); });
  m_unread.clear();
  m_engine.clear();
  if (m_flows) m_flows->disconnected(now);
  link_lost_requests();
  fold_upload_run();
  if (!closed_here.empty()) note(closed_here);
  else if (m_waiting_reconnect || m_drop == LinkDrop::Down) return;
  else if (!m_finished) problem("the station closed the connection");
}

void Platform::received(const char* data, size_t n, int64_t now) {
  if (m_reader_key != m_opt.key) {
    m_reader.set_key(m_reader_key = m_opt.key);
    m_engine.set_key(m_opt.key.size() == HJ::Sm4::kKeyBytes ? reinterpret_cast<const unsigned char*>(m_opt.key.data()) : nullptr);
  }
  m_unread.append(data, n);
  m_engine.append(data, n);
  std::string frame;
  while (m_engine.next(frame)) {
    size_t start = 0, end = 0;
    if (!locate_frame(m_unread, 0, frame, m_reader, start, end)) continue; // cut below, as any bytes
    cut_unread(start, true, now);
    on_frame(std::string_view(m_unread).substr(0, end - start), now);
    m_report.frame_done();
    m_unread.erase(0, end - start);
  }
  // what the plug-in's scanner gave up for good is cut now; what it still holds waits
  if (!m_engine.following()) cut_unread(m_unread.size() - std::min(m_engine.pending(), m_unread.size()), false, now);
}

void Platform::cut_unread(size_t n, bool whole, int64_t now) {
  m_scanner.feed(m_unread.data(), n, [&](FrameScanner::Kind kind, std::string_view bytes) {
    if (kind != FrameScanner::Kind::Frame) return junk(bytes);
    on_frame(bytes, now);
    m_report.frame_done();
  });
  if (whole) m_scanner.flush([&](FrameScanner::Kind, std::string_view bytes) { junk(bytes); });
  m_unread.erase(0, n);
}

void Platform::junk(std::string_view bytes) {
  m_junk_bytes += static_cast<unsigned>(bytes.size());
  problem("station sent " + std::to_string(bytes.size()) + " bytes outside any frame", "bytes outside any frame");
}

void Platform::on_frame(std::string_view received, int64_t now) {
  ++m_frames_in;
  // With the key, an encrypted frame is checked and read as the plain frame it stands for.
  std::string plain;
  CipherWire form = CipherWire::Plain;
  KeyedRead read = read_keyed(received, plain, form);
  // The plug-in drops a frame whose fields fit but that reads as text neither as received nor decrypted; one
  // that fails its own check is reported below as any bad frame.
  if (read == KeyedRead::Rejected && verdict_ok(check_frame(received).verdict)) {
    m_report.frame_in(received, now);
    rejected_frame(received);
    return;
  }
  std::string_view frame = form == CipherWire::Plain ? received : std::string_view(plain);
  FrameCheck c = check_frame(frame);
  m_report.frame_in(frame, now);
  m_log("<- " + describe_frame(frame) + (form == CipherWire::Plain ? "" : std::string(", encrypted (") + cipher_wire_text(form) + ")"));
  // the web view is handed the frame as the platform reads it: decrypted when it was encrypted
  if (m_observer) m_observer->frame(true, frame, c.verdict);
  if (!verdict_ok(c.verdict)) {
    bad_frame(received, c.verdict);
    return;
  }
  if (c.verdict == Verdict::OkAfterConversion) ++m_converted;
  Segment seg = parse_segment(c.segment);
  if (m_opt.standard) check_standard(frame, seg);
  if (!m_opt.key.empty()) check_encryption(received, seg, form);
  std::string cn = seg.value("CN"), qn = seg.value("QN");
  if (m_station_mn.empty()) {
    m_station_mn = seg.value("MN");
    if (m_station_mn.size() != 24) // the standard's MN has 24; public platforms refuse others
      note("the station's MN " + m_station_mn + " has " + std::to_string(m_station_mn.size()) + " characters, not 24");
  }
  m_values.add(codes::read_items(seg.cp_fields, seg.value("ST"), flag_version(seg.value("Flag"))));
  m_duties->frame(seg);
  // a record's DataTime: its own, or for a later packet of an upload the first packet's
  const std::string* own_time = seg.cp_get("DataTime");
  if (own_time) {
    m_packet_qn = qn;
    m_packet_datatime = *own_time;
  }
  const std::string datatime = own_time ? *own_time : qn == m_packet_qn ? m_packet_datatime : std::string();
  Flows2025::Seen seen;
  if (m_flows) {
    seen = m_flows->frame(seg, received.size() - HJ::kEnvelopeBytes, now, history_request(seg, datatime) != nullptr);
    send_flow_frames(seen, seg, now);
    if (seen.handled) return;
  }
  if (cn == "9011") on_ack(seg, qn, now);
  else if (cn == "9012") on_result(seg, qn, now);
  else if (cn.size() != 4 || cn[0] != '9') on_data(seg, datatime, seen.whole, now); // other system answers: nothing to pair
}

KeyedRead Platform::read_keyed(std::string_view received, std::string& plain, CipherWire& form) {
  KeyedRead read = m_opt.key.empty() ? KeyedRead::AsReceived : read_with_key(received, m_opt.key, plain, form);
  // a frame the station wrote before it took the key the platform just handed out
  if (read != KeyedRead::Decrypted && m_flows && !m_flows->previous_key().empty() &&
      read_with_key(received, m_flows->previous_key(), plain, form) == KeyedRead::Decrypted)
    read = KeyedRead::Decrypted;
  return read;
}

void Platform::rejected_frame(std::string_view received) {
  ++m_bad_frames;
  m_log("<- " + describe_frame(received));
  if (m_observer) m_observer->frame(true, received, Verdict::BadCrc);
  const std::string seg_text = check_frame(received).segment;
  Segment seg = parse_segment(seg_text);
  problem("frame QN " + seg.value("QN") + " CN=" + seg.value("CN") +
          (HJ::data_command_header(seg_text.data(), seg_text.size())
               ? " has its CRC over the encrypted bytes, not over the plain data (the plug-in drops it: with the key its data "
                 "segment is text neither as received nor decrypted)"
               : " is no data command, yet its data segment is not text (binary, or a {0x..} list): damage its CRC let "
                 "through, or a CN hit on the way; the plug-in drops it"));
}

void Platform::bad_frame(std::string_view received, Verdict verdict) {
  ++m_bad_frames;
  bool looks = received.size() > 12 && looks_encrypted(received.substr(6, received.size() - 12)) != CipherWire::Plain;
  const char* hint = !looks ? "" : m_opt.key.empty() ? "; it looks encrypted: give the key" : "; it looks encrypted, but the key does not decrypt it";
  problem(std::string("bad frame from the station (") + verdict_text(verdict) + hint + ")");
}

void Platform::send_flow_frames(const Flows2025::Seen& seen, const Segment& seg, int64_t now) {
  if (!seen.reply.empty()) {
    const std::string reply = HJ::wire_data(seen.reply, HJ::kCharsetByFlag).frame();
    queue(reply, now + m_opt.answer_delay_ms);
    if (m_observer) m_observer->frame(false, reply, Verdict::Ok);
    ++m_answers_sent;
  }
  if (seen.push.empty()) return;
  // a request outside the scenario, awaited like the scenario's
  std::string qn = seg.value("QN");
  const std::string push = HJ::wire_data(seen.push, HJ::kCharsetByFlag).frame();
  queue(push, now + m_opt.answer_delay_ms);
  if (m_observer) m_observer->frame(false, push, Verdict::Ok);
  ++m_frames_out;
  ++m_requests;
  Pending pending;
  pending.qn = qn;
  pending.cn = seg.value("CN");
  pending.sent_at = now;
  pending.deadline = now + m_opt.answer_delay_ms + m_opt.reply_timeout_ms;
  m_pending.insert(m_pending.begin(), pending); // a request step's own stays the last
  m_report.request(qn, pending.cn, "carried out: 9011 QnRtn=1, then 9012 ExeRtn=1", push, now);
  m_log("-> request CN=" + pending.cn + " QN=" + qn + " " + describe_frame(push));
}

Platform::Pending* Platform::find_pending(const std::string& qn) {
  for (Pending& p : m_pending)
    if (!qn.empty() && p.qn == qn) return &p;
  return nullptr;
}

Platform::Pending* Platform::history_request(const Segment& seg, const std::string& datatime) {
  const std::string cn = seg.value("CN");
  Pending* p = find_pending(seg.value("QN"));
  if (p) return p->history ? p : nullptr; // records after its 9012 are still its answer's
  for (Pending& q : m_pending) {
    if (!q.history || q.done || !q.acked || q.cn != cn) continue;
    // an upload of the newest period (real-time data: of the last two minutes) that comes
    // meanwhile is none of the answer's records
    int64_t t = 0, sent = 0;
    auto period = m_opt.periods.find(cn);
    const int64_t newest = period != m_opt.periods.end() ? 2 * static_cast<int64_t>(period->second) : 120;
    const bool readable = civil_seconds(datatime, t);
    const bool asked = readable && (q.begin_s < 0 || q.end_s < 0 || (t >= q.begin_s && t <= q.end_s));
    if (readable && !asked && qn_time_ms(seg.value("QN"), sent) && (t + newest) * 1000 >= sent) return nullptr;
    return &q;
  }
  return nullptr;
}

void Platform::history_record(Pending& p, const std::string& cn, const std::string& datatime) {
  const std::string head = "history answer to CN=" + p.cn + " QN=" + p.qn + ": ";
  int64_t t = 0;
  if (p.done) problem(head + "record DataTime=" + datatime + " after the 9012 that ended the answer"); // 9011, records, 9012
  else if (cn != p.cn) problem(head + "answered with CN=" + cn);
  else if (!civil_seconds(datatime, t)) problem(head + "a record without a readable DataTime (" + (datatime.empty() ? "none" : datatime) + ")");
  else if (p.begin_s >= 0 && p.end_s >= 0 && (t < p.begin_s || t > p.end_s))
    problem(head + "record DataTime=" + datatime + " outside the asked range " + p.begin_text + ".." + p.end_text);
  else if (p.record_times.count(datatime)) problem(head + "record DataTime=" + datatime + " sent twice");
  else if (p.record_times.size() < kKeptPeriods) p.record_times.insert(datatime); // a bound against a station that never stops
}

void Platform::period_record(const std::string& cn, const std::string& qn, const std::string& datatime, bool resend) {
  auto period = m_opt.periods.find(cn);
  if (period == m_opt.periods.end()) return;
  const int64_t s = period->second;
  PeriodData& d = m_periods[cn];
  int64_t t = 0;
  if (!civil_seconds(datatime, t)) {
    if (!resend)
      problem("CN=" + cn + " upload QN " + qn + " has no readable DataTime (" + (datatime.empty() ? "none" : datatime) + "): period data carry their period's start");
    return;
  }
  if (!resend) {
    ++d.records;
    int64_t sent_ms = 0;
    if (!qn_time_ms(qn, sent_ms)) sent_ms = 1000 * local_now_s(); // the platform's clock stands in for the station's
    if ((t % s + s) % s != 0)
      problem("CN=" + cn + " upload QN " + qn + ": DataTime=" + datatime + " is not on a boundary of its " + std::to_string(s) + " s period");
    else if ((t + s) * 1000 > sent_ms + 1000)
      problem("CN=" + cn + " upload QN " + qn + ": DataTime=" + datatime + " stamped with its period's end: the " + std::to_string(s) +
              " s period from it ends at " + civil_text(t + s) + ", after the frame was sent");
    auto before = d.times.find(t);
    // the same upload again is the 2025 flows' "uploaded again without RF=1": one fault, told once
    if (before != d.times.end() && !(m_flows && before->second == qn))
      problem("CN=" + cn + " upload QN " + qn + ": DataTime=" + datatime + " came before: one record per period");
  }
  d.times[t] = qn;
  if (d.times.size() > kKeptPeriods) { // the oldest folded into the count of missing periods
    const int64_t oldest = d.times.begin()->first;
    d.times.erase(d.times.begin());
    const int64_t gap = (d.times.begin()->first - oldest) / s - 1;
    if (gap > 0) d.folded_missing += gap;
  }
}

int64_t Platform::missing_periods(const std::string& cn, const PeriodData& d, int64_t* first_gap) const {
  auto period = m_opt.periods.find(cn);
  if (period == m_opt.periods.end()) return 0;
  int64_t missing = d.folded_missing, before = -1;
  bool first = true;
  for (const auto& record : d.times) {
    const int64_t t = record.first;
    const int64_t gap = first ? 0 : (t - before) / period->second - 1;
    if (gap > 0) {
      if (missing == 0 && first_gap) *first_gap = before;
      missing += gap;
    }
    before = t;
    first = false;
  }
  return missing;
}

int64_t Platform::unsent_periods(const std::string& cn) const {
  auto period = m_opt.periods.find(cn);
  if (period == m_opt.periods.end() || m_start_local_s < 0) return 0;
  const int64_t s = period->second;
  // a period counts once it is over and the station had a cycle and the link's way to send it
  const int64_t grace = 2, end = m_end_local_s >= 0 ? m_end_local_s : local_now_s();
  const int64_t first = (m_start_local_s + s - 1) / s * s; // the first period wholly inside the run
  auto d = m_periods.find(cn);
  int64_t unsent = 0;
  for (int64_t b = first; b + s + grace <= end; b += s) {
    if (d != m_periods.end() && !d->second.times.empty() && b >= d->second.times.begin()->first &&
        b <= d->second.times.rbegin()->first)
      b = d->second.times.rbegin()->first; // between its records the gaps count them
    else if (d == m_periods.end() || !d->second.times.count(b)) ++unsent;
    if (unsent > static_cast<int64_t>(kKeptPeriods)) break; // a bound on a run of days at 1 s periods
  }
  return unsent;
}

void Platform::judge_periods() {
  if (m_periods_judged) return;
  m_periods_judged = true;
  m_end_local_s = local_now_s();
  for (const auto& c : m_periods) {
    int64_t gap_at = -1;
    const int64_t missing = missing_periods(c.first, c.second, &gap_at);
    if (missing > 0)
      problem("CN=" + c.first + ": " + std::to_string(missing) + " periods of " + std::to_string(m_opt.periods.at(c.first)) +
              " s missing between its records" + (gap_at >= 0 ? " (the first after DataTime=" + civil_text(gap_at) + ")" : ""));
  }
  for (const auto& p : m_opt.periods) {
    const int64_t unsent = unsent_periods(p.first);
    if (unsent <= 0) continue;
    auto d = m_periods.find(p.first);
    const bool none = d == m_periods.end() || d->second.times.empty();
    problem("CN=" + p.first + ": " + std::to_string(unsent) + " whole periods of " + std::to_string(p.second) + " s in the run " +
                (none ? "and not one record: the station never sent this period data" : "without a record, before its first or after its last"),
            "CN=" + p.first + " period data not sent");
  }
}

int64_t Platform::local_now_s() const {
  if (m_opt.local_clock) return m_opt.local_clock();
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return days_from_civil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

void Platform::link_lost_requests() {
  for (Pending& p : m_pending) {
    if (p.done) continue;
    p.done = true;
    if (p.corrupt || p.reply == Step::None) continue; // silence was all they wanted
    ++m_missing;
    problem("request CN=" + p.cn + " QN=" + p.qn + " unanswered: the link went down " +
            (!p.acked ? "before its 9011" : p.history ? "inside its answer, after the 9011 and before the 9012" : "after its 9011, before its 9012"));
  }
}

void Platform::on_ack(const Segment& seg, const std::string& qn, int64_t now) {
  Pending* p = find_pending(qn);
  if (!p) {
    if (m_flows && m_flows->answer_to_key_answer(qn, "9011")) return;
    ++m_unexpected;
    problem("9011 for QN " + qn + ", which no request carried");
    return;
  }
  if (p->corrupt) {
    ++m_unexpected;
    p->done = true;
    problem("the station answered the corrupt request QN " + qn);
    return;
  }
  if (p->acked) {
    ++m_unexpected;
    problem("a second 9011 for QN " + qn);
    return;
  }
  p->acked = true;
  const std::string* rtn = seg.cp_get("QnRtn");
  p->qn_rtn = rtn ? *rtn : "";
  m_lat_ack.push_back(now - p->sent_at);
  if (p->reply != Step::None && refusal_code("QnRtn", p->qn_rtn)) judge_refusal(*p, "QnRtn", p->qn_rtn);
  // a history request taken on ends with its 9012 whatever the step wants: the records alone leave its outcome open
  bool more = p->reply != Step::None && p->qn_rtn == "1" && (p->reply == Step::Full || p->history);
  if (!more) { // refused or only acknowledged: nothing more comes
    if (p->reply == Step::None) {
      ++m_unexpected;
      problem("the station answered QN " + qn + ", which wants no answer");
    } else {
      ++m_answered;
      if (p->qn_rtn == "1") took_effect(*p, now); // the 9011 is all the step awaits
    }
    p->done = true;
    if (m_flows) m_flows->request_done(p->qn, p->qn_rtn, "");
  }
}

void Platform::on_result(const Segment& seg, const std::string& qn, int64_t now) {
  Pending* p = find_pending(qn);
  if (!p) {
    if (m_flows && m_flows->answer_to_key_answer(qn, "9012")) return;
    ++m_unexpected;
    problem("9012 for QN " + qn + ", which no request carried");
    return;
  }
  if (!p->acked) problem("9012 before 9011 for QN " + qn);
  const std::string* rtn = seg.cp_get("ExeRtn");
  p->exe_rtn = rtn ? *rtn : "";
  if (!p->corrupt && p->reply != Step::None) {
    if (refusal_code("ExeRtn", p->exe_rtn)) judge_refusal(*p, "ExeRtn", p->exe_rtn);
    else {
      judge_acceptance(*p, "ExeRtn=" + p->exe_rtn);
      took_effect(*p, now);
    }
  }
  if (!p->done) {
    p->done = true;
    ++m_answered;
    m_lat_final.push_back(now - p->sent_at);
    if (m_flows) m_flows->request_done(p->qn, p->qn_rtn, p->exe_rtn);
  }
}

bool Platform::judged_by_flows(Pending& p) {
  bool theirs = m_flows && m_flows->judges(p.qn);
  if (theirs) p.judged = true;
  return theirs;
}

void Platform::judge_refusal(Pending& p, const char* field, const std::string& code) {
  if (p.judged || judged_by_flows(p)) return;
  p.judged = true;
  if (!p.invalid.empty()) m_report.invalid_refused(p.qn);
  if (p.expect != Step::Accepted || !p.invalid.empty()) return;
  const char* meaning = codes::answer_text(field, code);
  problem("request CN=" + p.cn + " QN=" + p.qn + " refused: " +
          (code.empty() ? std::string("no ") + field
                        : std::string(field) + "=" + code + " (" + (meaning ? meaning : "not in the code table") + ")"));
}

void Platform::judge_acceptance(Pending& p, const std::string& how) {
  if (p.judged || judged_by_flows(p)) return;
  p.judged = true;
  if (!p.invalid.empty()) problem("request CN=" + p.cn + " QN=" + p.qn + " accepted an invalid " + p.invalid + " (" + how + ")");
  else if (p.expect == Step::Refused) problem("request CN=" + p.cn + " QN=" + p.qn + " accepted (" + how + "), a refusal was expected");
}

void Platform::fold_upload_run() {
  Arrivals& run = m_effects.since_set;
  if (run.count >= 2) m_effects.folded_ms += run.last - run.first, m_effects.folded_gaps += run.count - 1;
  run = Arrivals();
}

void Platform::took_effect(const Pending& p, int64_t now) {
  m_report.effect(p.qn, p.cn, p.rtd_interval, now);
  if (p.cn == "2012") m_effects.stopped_at = now;
  else if (p.cn == "2011") m_effects.stopped_at = -1;
  if (p.cn == "2012" || p.cn == "2011") fold_upload_run(); // the time stopped is no interval
  if (p.rtd_interval <= 0) return;
  judge_rtd_interval(false); // the setting before, on the uploads it had
  auto so_far = m_uploads.find("2011");
  m_effects.rtd_s = p.rtd_interval;
  m_effects.since_set = Arrivals();
  m_effects.before_ms = so_far != m_uploads.end() && so_far->second.count >= 2
                            ? static_cast<double>(so_far->second.last - so_far->second.first) / (so_far->second.count - 1)
                            : 0;
  m_effects.judged = false;
}

int64_t Platform::rtd_interval_ms() const {
  if (m_effects.rtd_s > 0) return 1000LL * m_effects.rtd_s;
  auto it = m_uploads.find("2011");
  if (it != m_uploads.end() && it->second.count >= 2) return (it->second.last - it->second.first) / (it->second.count - 1);
  return m_opt.reply_timeout_ms;
}

void Platform::real_time_upload(const std::string& qn, int64_t now) {
  int64_t made = 0;
  const bool stamped = qn_time_ms(qn, made);
  // made on the station's clock after its answer to the 2012 arrived: no upload already on its way
  if (m_effects.stopped_at >= 0 && stamped && m_clock.known && made - m_clock.ahead_ms > m_effects.stopped_at + kClockSlackMs) {
    problem("kept uploading CN=2011 after 2012 stopped it: QN " + qn + " was made " + std::to_string(made - m_clock.ahead_ms - m_effects.stopped_at) +
                " ms after the acknowledgement arrived",
            "kept uploading CN=2011 after 2012 stopped it");
    m_effects.stopped_at = -1;
  }
  // the station's clock against the platform's: the least transit shows the most of it
  if (stamped && (!m_clock.known || made - now > m_clock.ahead_ms)) m_clock = {true, made - now};
  if (m_effects.stopped_at >= 0 && now - m_effects.stopped_at > rtd_interval_ms()) {
    problem("kept uploading CN=2011 after 2012 stopped it: QN " + qn + " came " + std::to_string(now - m_effects.stopped_at) +
                " ms after the acknowledgement",
            "kept uploading CN=2011 after 2012 stopped it");
    m_effects.stopped_at = -1; // once per stop, not once per upload
  }
  if (m_effects.rtd_s <= 0) return;
  Arrivals& a = m_effects.since_set;
  if (a.count++ == 0) a.first = now;
  a.last = now;
}

bool Platform::judge_rtd_interval(bool gave_up) {
  Effects& e = m_effects;
  if (e.rtd_s <= 0 || e.judged) return false;
  // the first upload after the setting may still be the old timer's: the gaps from it on are the new one's
  const unsigned gaps = e.folded_gaps + (e.since_set.count >= 2 ? e.since_set.count - 1 : 0);
  const int64_t span_ms = e.folded_ms + (e.since_set.count >= 2 ? e.since_set.last - e.since_set.first : 0);
  double every_ms = gaps > 0 ? static_cast<double>(span_ms) / gaps : gave_up ? e.before_ms : 0;
  if (every_ms <= 0) return false;
  const double set_ms = 1000.0 * e.rtd_s, slack_ms = set_ms / 2 > 1000 ? set_ms / 2 : 1000; // a station's cycle and the link's jitter
  if (every_ms >= set_ms - slack_ms && every_ms <= set_ms + slack_ms) return false;
  e.judged = true;
  char every[32];
  std::snprintf(every, sizeof every, "%.1f", every_ms / 1000.0);
  problem("RtdInterval set to " + std::to_string(e.rtd_s) + " s, uploads came every " + every + " s");
  return true;
}

// A request carried on (acknowledged, its data wanted) that data of `cn` answer, or null.
Platform::Pending* Platform::awaiting_data(const std::string& cn) {
  for (Pending& q : m_pending)
    if (!q.done && q.acked && !q.history && q.reply == Step::Full && q.cn == cn) return &q;
  return nullptr;
}

// data: the reply to a pending request of the same CN, or an upload (counted once whole when
// it came in packets)
void Platform::on_data(const Segment& seg, const std::string& datatime, bool whole, int64_t now) {
  std::string cn = seg.value("CN"), qn = seg.value("QN");
  Pending* p = whole ? find_pending(qn) : nullptr;
  if (whole) {
    Pending* history = history_request(seg, datatime);
    if (p && p->cn != cn && p != history) p = nullptr;
    if (!p && !history) p = awaiting_data(cn);
    if (history) {
      p = history;
      ++m_history[cn];
      m_report.history_record(history->qn);
      history_record(*history, cn, datatime);
    } else if (seg.value("RF") == "1") {
      ++m_resent[cn];
      period_record(cn, qn, datatime, true);
    } else { // the rate of uploads, which a backlog or a history would make look faster
      Arrivals& arrivals = m_uploads[cn];
      if (arrivals.count++ == 0) arrivals.first = now;
      arrivals.last = now;
      if (!p) m_report.upload(cn, now); // not the data a request asked for
      if (cn == "2011") {
        if (p && !p->done && p->cn == "2011") took_effect(*p, now); // its first upload answers a 2011: uploads start again
        real_time_upload(qn, now);
      }
      if (m_opt.periods.count(cn)) m_report.period_record(cn);
      period_record(cn, qn, datatime, false);
    }
  }
  if (p && !p->done) {
    m_report.answer(p->qn);
    if (!p->history) { // a history request's records come before its 9012, which ends it
      p->done = true;
      ++m_answered;
      m_lat_final.push_back(now - p->sent_at);
    }
    judge_acceptance(*p, "answered with data");
  }
  int flag = std::atoi(seg.value("Flag").c_str());
  if (flag & 1) { // the station asks for an answer
    std::string answer = "QN=" + qn + ";ST=91;CN=9014;PW=" + m_opt.pw + ";MN=" + seg.value("MN") +
                         (m_opt.standard == 2025 ? ";Flag=8" : ";Flag=4") + ";CP=&&&&";
    std::string answer_frame = HJ::wire_data(answer, HJ::kCharsetByFlag).frame();
    queue(answer_frame, now + m_opt.answer_delay_ms);
    if (m_observer) m_observer->frame(false, answer_frame, Verdict::Ok);
    ++m_answers_sent;
  }
}

void Platform::check_standard(std::string_view frame, const Segment& seg) {
  std::string_view wire = frame.substr(6, frame.size() - 12);
  bool ascii = true;
  for (unsigned char c : wire) ascii = ascii && c < 0x80;
  std::string text;
  bool utf8_text = HJ::is_utf8(wire.data(), wire.size());
  bool gb_text = !utf8_text && gb18030_to_utf8(wire, text);
  bool want_utf8 = m_opt.standard >= 2025;
  std::string qn = seg.value("QN");
  if (!ascii) {
    ++m_chinese;
    if (check_frame(frame).verdict != Verdict::Ok || (want_utf8 ? !utf8_text : !gb_text)) {
      ++m_wrong_charset;
      problem(std::string("frame QN ") + qn + " is not " + (want_utf8 ? "UTF-8" : "GB18030") + " with length and CRC over its bytes");
    }
  }
  if (!ascii) m_report.tally(Report::Tally::Charset);
  m_report.tally(Report::Tally::Version);
  int version = flag_version(seg.value("Flag"));
  int wanted = want_utf8 ? HJ::kVersion2025 : HJ::kVersion2017;
  if (version != wanted) {
    ++m_wrong_version;
    problem("frame QN " + qn + " CN=" + seg.value("CN") + " carries Flag=" + seg.value("Flag") + ", not a " +
            std::to_string(m_opt.standard) + " Flag");
  }
}

void Platform::check_encryption(std::string_view frame, const Segment& seg, CipherWire form) {
  int cn = to_int(seg.value("CN"), -1);
  if (!HJ::encrypted_cn(cn)) return;
  m_report.tally(Report::Tally::Encryption);
  if (form == CipherWire::Raw) ++m_encrypted_raw;
  if (form == CipherWire::Text) ++m_encrypted_text;
  if (form != CipherWire::Plain) return;
  // It passed over its own bytes: plain, or encrypted with the CRC taken over the ciphertext.
  std::string_view wire = frame.substr(6, frame.size() - 12);
  std::size_t begin = 0, end = 0;
  if (looks_encrypted(wire) != CipherWire::Plain) {
    ++m_unencrypted;
    problem("frame QN " + seg.value("QN") + " CN=" + seg.value("CN") + " has its CRC over the encrypted bytes, not over the plain data");
  } else if (HJ::cp_region(wire.data(), wire.size(), begin, end) && end - begin >= 16) {
    ++m_unencrypted;
    problem("frame QN " + seg.value("QN") + " CN=" + seg.value("CN") + " is not encrypted");
  }
}

void Platform::start_step(int64_t now) {
  while (m_step < m_steps.size()) {
    Step& s = m_steps[m_step];
    m_step_active = true;
    switch (s.kind) {
    case Step::Request:
      if (m_drop == LinkDrop::Down) { // sent once the station is back
        m_step_waits_link = true;
        return;
      }
      { // its time placeholders read the clock as the step starts
        Step at = s;
        std::string why;
        for (std::string* field : {&at.cn, &at.cp, &at.st, &at.pw, &at.mn, &at.flag}) expand_times(*field, local_now_s(), *field, why);
        send_request(at, now);
      }
      return;
    case Step::Pause:
      m_step_deadline = now + s.pause_ms;
      return;
    case Step::Leave: // a directive, taken out before the run; a step of nothing if it reached here
      m_step_deadline = now;
      return;
    case Step::Drop:
      queue(std::string(), now, true);
      m_waiting_reconnect = true;
      m_step_deadline = now + 4 * m_opt.reply_timeout_ms;
      m_log("-> dropping the connection");
      return;
    case Step::Uploads:
      m_uploads_goal = static_cast<int>(uploads(s.cn)) + s.count;
      m_step_deadline = now + (s.timeout_ms ? s.timeout_ms : default_uploads_timeout_ms(s.cn, s.count));
      return;
    }
  }
  m_step_active = false;
}

void Platform::send_request(const Step& s, int64_t now) {
  std::string qn = next_qn();
  std::string cp = s.cp.empty() && m_flows ? m_flows->request_cp(s.cn) : s.cp;
  if (m_flows) m_flows->request_sent(qn, s.cn, cp);
  std::string seg = "QN=" + qn + ";ST=" + (s.st.empty() ? m_opt.st : s.st) + ";CN=" + s.cn +
                    ";PW=" + (s.pw.empty() ? m_opt.pw : s.pw) + ";MN=" + (s.mn.empty() ? m_opt.mn : s.mn) +
                    ";Flag=" + (s.flag.empty() ? m_opt.flag : s.flag) + ";CP=&&" + cp + "&&";
  // Charset by the request's Flag: the plug-in's own decision of the wire bytes.
  // With the key, a CN 2000-2999 request's region encrypted as the station's "Send" does it.
  HJ::WireData wire = encrypted_wire_data(seg, m_opt.key, m_opt.key.empty() ? CipherWire::Plain : m_opt.cipher_form);
  std::string frame = wire.frame();
  const std::string plain_frame = wire.frame_around(wire.bytes);
  bool encrypted = wire.encrypted && frame != plain_frame; // a region shorter than a block stays plain
  if (encrypted) ++m_encrypted_out;
  spoil(s.bad, frame);
  if (m_observer) { // an encrypted request shown as the station reads it once decrypted
    std::string shown = encrypted ? plain_frame : frame;
    if (encrypted) spoil(s.bad, shown);
    m_observer->frame(false, shown, check_frame(shown).verdict);
  }
  int64_t at = queue_pieces(frame, s.bad, now);
  ++m_frames_out;
  bool corrupt = s.bad.bad_crc || s.bad.bad_length;
  if (!corrupt) ++m_requests;
  int timeout = corrupt || s.reply == Step::None ? m_opt.silence_ms : (s.timeout_ms ? s.timeout_ms : m_opt.reply_timeout_ms);
  Pending pending;
  pending.qn = qn;
  pending.cn = s.cn;
  pending.reply = s.reply;
  pending.expect = s.expect;
  const Segment asked = parse_segment("CP=&&" + cp + "&&");
  pending.invalid = invalid_value(asked);
  pending.history = asked.cp_get("BeginTime") != nullptr;
  pending.begin_s = cp_time(asked, "BeginTime", pending.begin_text);
  pending.end_s = cp_time(asked, "EndTime", pending.end_text);
  const std::string* rtd = s.cn == "1062" ? asked.cp_get("RtdInterval") : nullptr;
  pending.rtd_interval = rtd ? to_int(*rtd, 0) : 0;
  pending.corrupt = corrupt;
  pending.sent_at = at;
  pending.deadline = at + timeout;
  m_pending.push_back(pending);
  m_report.request(qn, s.cn, exchange_rule(s, pending.history, !pending.invalid.empty(), timeout), plain_frame, at, !pending.invalid.empty(),
                   pending.history);
  std::string marks = request_marks(s.bad, encrypted ? cipher_wire_text(m_opt.cipher_form) : nullptr);
  m_log("-> request CN=" + s.cn + " QN=" + qn + (marks.empty() ? "" : " [" + marks.substr(1) + "]") + " " +
        describe_frame(plain_frame));
}

int64_t Platform::queue_pieces(const std::string& frame, const Misbehaviour& bad, int64_t now) {
  std::string bytes = (bad.junk ? std::string(kJunk) : std::string()) + frame;
  size_t offset = bad.junk ? std::string(kJunk).size() : 0;
  std::vector<size_t> cuts;
  if (bad.split) cuts = {offset + 7, offset + frame.size() / 2};
  else if (bad.delay_ms > 0) cuts = {offset + frame.size() / 2};
  int gap = bad.delay_ms > 0 ? bad.delay_ms : kSplitGapMs;
  int64_t at = now;
  size_t from = 0;
  for (size_t cut : cuts) {
    queue(bytes.substr(from, cut - from), at);
    from = cut;
    at += gap;
  }
  queue(bytes.substr(from), at);
  return at;
}

void Platform::finish_step(int64_t now) {
  m_step_active = false;
  ++m_step;
  start_step(now);
}

unsigned Platform::uploads(const std::string& cn) const {
  auto it = m_uploads.find(cn);
  return it == m_uploads.end() ? 0u : it->second.count;
}

Platform::Counters Platform::counters() const {
  Counters c;
  c.frames_in = m_frames_in;
  c.frames_out = m_frames_out + m_answers_sent;
  c.answers_sent = m_answers_sent;
  c.bad_frames = m_bad_frames;
  c.resends = resends();
  c.heartbeats = m_flows ? m_flows->heartbeats() : 0u;
  c.encrypted = m_encrypted_raw + m_encrypted_text > 0;
  return c;
}

void Platform::tick(int64_t now) {
  for (Pending& p : m_pending) {
    if (p.done || now < p.deadline) continue;
    p.done = true;
    if (p.corrupt || p.reply == Step::None) {
      if (!p.acked) m_log("   QN " + p.qn + " went unanswered, as it should");
      continue;
    }
    ++m_missing;
    if (p.acked && p.history) problem("no 9012 for request CN=" + p.cn + " QN=" + p.qn + ": the execution result is missing");
    else problem(std::string(p.acked ? "no 9012 or data after the 9011" : "no 9011") + " for request CN=" + p.cn + " QN=" + p.qn);
  }
  drop_link_tick(now);
  // steps complete one after another within one tick when nothing holds them
  for (int guard = 0; m_step_active && !m_step_waits_link && guard < 1000; ++guard) {
    const Step& s = m_steps[m_step];
    bool done = false;
    switch (s.kind) {
    case Step::Request:
      done = m_pending.back().done;
      break;
    case Step::Pause:
    case Step::Leave:
      done = now >= m_step_deadline;
      break;
    case Step::Drop:
      if (!m_waiting_reconnect) done = true;
      else if (now >= m_step_deadline) {
        problem("the station did not come back after the dropped connection");
        m_waiting_reconnect = false;
        done = true;
      }
      break;
    case Step::Uploads:
      done = uploads_done(s, now);
      break;
    }
    if (!done) break;
    finish_step(now);
  }
  bool pending = false;
  for (const Pending& p : m_pending) pending = pending || !p.done;
  if (!m_step_active && m_first_connect >= 0 && !pending && m_out.empty() && m_drop != LinkDrop::Down &&
      (m_opt.duration_ms <= 0 || now - m_first_connect >= m_opt.duration_ms)) {
    m_finished = true;
    judge_rtd_interval(false);
    if (m_flows) m_flows->finish(now);
  }
}

bool Platform::uploads_done(const Step& s, int64_t now) {
  if (static_cast<int>(uploads(s.cn)) >= m_uploads_goal) {
    if (s.cn == "2011") judge_rtd_interval(false);
    return true;
  }
  if (now < m_step_deadline) return false;
  ++m_missing;
  if (s.cn != "2011" || !judge_rtd_interval(true)) // the interval set, when it is what went wrong
    problem("only " + std::to_string(static_cast<int>(uploads(s.cn)) - (m_uploads_goal - s.count)) + " uploads of CN=" + s.cn +
            " since the step began, " + std::to_string(s.count) + " wanted");
  return true;
}

bool Platform::refusing(int64_t now) const { return m_drop == LinkDrop::Down && now < m_drop_started + m_opt.drop_for_ms; }

void Platform::drop_link_tick(int64_t now) {
  if (m_opt.drop_at_ms < 0 || m_first_connect < 0) return;
  if (m_drop == LinkDrop::Planned && m_connected && now >= m_first_connect + m_opt.drop_at_ms) {
    for (const Pending& p : m_pending)
      if (!p.done && !p.corrupt) return; // not while a request waits for its answers
    queue(std::string(), now, true);
    m_drop = LinkDrop::Down;
    m_drop_started = now;
    m_log("-> dropping the link for " + std::to_string(m_opt.drop_for_ms) + " ms (--drop-link)");
  } else if (m_drop == LinkDrop::Down && now >= m_drop_started + m_opt.drop_for_ms + 4 * m_opt.reply_timeout_ms) {
    problem("the station did not come back after the dropped link");
    m_drop = LinkDrop::Done;
    if (m_step_waits_link) {
      m_step_waits_link = false;
      start_step(now);
    }
  }
}

std::vector<Platform::Out> Platform::take_due(int64_t now) {
  std::vector<Out> due;
  while (!m_out.empty() && m_out.front().at <= now) {
    due.push_back(std::move(m_out.front()));
    m_out.pop_front();
  }
  return due;
}

int64_t Platform::next_event(int64_t now) const {
  int64_t t = -1;
  auto consider = [&](int64_t x) { // a deadline passed is done with or waits for the station, not for the clock
    if (x > now && (t < 0 || x < t)) t = x;
  };
  if (!m_out.empty()) consider(m_out.front().at);
  for (const Pending& p : m_pending)
    if (!p.done) consider(p.deadline);
  if (m_step_active && m_step < m_steps.size() && m_steps[m_step].kind != Step::Request) consider(m_step_deadline);
  if (m_first_connect >= 0 && m_opt.duration_ms > 0) consider(m_first_connect + m_opt.duration_ms);
  if (m_first_connect >= 0 && m_opt.drop_at_ms >= 0 && m_drop == LinkDrop::Planned) consider(m_first_connect + m_opt.drop_at_ms);
  if (m_drop == LinkDrop::Down) consider(m_drop_started + m_opt.drop_for_ms);
  return t;
}

void Platform::data_rows(const std::function<void(const char*, const std::string&)>& row) const {
  std::string ups;
  for (const auto& u : m_uploads) {
    if (!ups.empty()) ups += "; ";
    ups += "CN=" + u.first + " x" + std::to_string(u.second.count);
    if (u.second.count >= 2) {
      char every[48];
      std::snprintf(every, sizeof every, " (every %.1f s)",
                    static_cast<double>(u.second.last - u.second.first) / 1000.0 / static_cast<double>(u.second.count - 1));
      ups += every;
    }
  }
  row("data frames:", ups.empty() ? std::string("none") : ups);
  auto counts = [](const std::map<std::string, unsigned>& m) {
    std::string text;
    for (const auto& c : m) text += (text.empty() ? "CN=" : "; CN=") + c.first + " x" + std::to_string(c.second);
    return text;
  };
  std::string periods;
  for (const auto& p : m_opt.periods) {
    auto c = m_periods.find(p.first);
    const unsigned records = c != m_periods.end() ? c->second.records : 0;
    const int64_t unsent = m_periods_judged ? unsent_periods(p.first) : 0;
    if (!records && !unsent) continue;
    periods += (periods.empty() ? "CN=" : "; CN=") + p.first + " x" + std::to_string(records) + " (" + std::to_string(p.second) + " s), " +
               std::to_string(c != m_periods.end() ? missing_periods(p.first, c->second, nullptr) : 0) + " missing" +
               (unsent ? ", " + std::to_string(unsent) + " not sent" : "");
  }
  if (!periods.empty()) row("period data:", periods);
  if (!m_history.empty()) row("history answers:", counts(m_history));
  if (!m_resent.empty() && !m_flows) row("resends:", counts(m_resent) + " (RF=1)"); // the 2025 flows count theirs
}

std::string Platform::summary() const {
  std::ostringstream o;
  auto row = [&](const char* label, const std::string& value) {
    o << "  " << label;
    for (size_t i = std::string(label).size(); i < 20; ++i) o << ' ';
    o << value << "\n";
  };
  o << "== " << m_opt.name << " summary ==\n";
  row("station:", (m_peer.empty() ? std::string("never connected") : m_peer) + (m_station_mn.empty() ? "" : ", MN " + m_station_mn));
  row("connections:", std::to_string(m_connections));
  row("frames out:", std::to_string(m_frames_out) + " requests, " + std::to_string(m_answers_sent) + " data answers");
  row("frames in:", std::to_string(m_frames_in));
  row("bad frames in:", std::to_string(m_bad_frames));
  row("junk bytes in:", std::to_string(m_junk_bytes));
  if (m_opt.standard) {
    row("standard:", std::string(m_opt.standard >= 2025 ? "HJ 212-2025, UTF-8" : "HJ 212-2017, GB18030"));
    row("non-ASCII frames:", std::to_string(m_chinese) + ", " + std::to_string(m_wrong_charset) + " in the wrong charset");
    row("wrong Flag version:", std::to_string(m_wrong_version));
  }
  if (!m_opt.key.empty()) {
    row("encrypted in:", std::to_string(m_encrypted_raw + m_encrypted_text) + " (" + std::to_string(m_encrypted_raw) + " raw, " +
                             std::to_string(m_encrypted_text) + " {0x..} text), " + std::to_string(m_unencrypted) + " not encrypted");
    row("encrypted out:", std::to_string(m_encrypted_out) + " requests (" + cipher_wire_text(m_opt.cipher_form) + ")");
  }
  if (m_converted) row("crc over UTF-8:", std::to_string(m_converted) + " frames (length and CRC not over the wire bytes)");
  if (m_flows) m_flows->summary_rows(row);
  if (m_opt.drop_at_ms >= 0)
    row("link dropped:", m_drop == LinkDrop::Planned ? std::string("not yet")
                                                      : "for " + std::to_string(m_opt.drop_for_ms) + " ms, at " +
                                                            std::to_string(m_drop_started - m_first_connect) + " ms");
  if (!m_opt.left_out.empty()) {
    std::string left;
    for (const std::string& cn : m_opt.left_out) left += (left.empty() ? "CN=" : ", CN=") + cn;
    row("left out:", left + " (the scenario's leave: not judged)");
  }
  row("requests:", std::to_string(m_requests));
  row("answered:", std::to_string(m_answered));
  row("missing replies:", std::to_string(m_missing));
  row("unexpected replies:", std::to_string(m_unexpected));
  data_rows(row);
  m_values.summary_rows(row);
  row("latency 9011:", stats(m_lat_ack));
  row("latency complete:", stats(m_lat_final));
  if (m_note_count) {
    row("notes:", std::to_string(m_note_count) + " (not faults)");
    for (const std::string& n : m_notes) o << "    - " << n << "\n";
    if (m_note_count > m_notes.size()) o << "    - and " << (m_note_count - m_notes.size()) << " more\n";
  }
  row("verdict:", verdict());
  for (const Cause& c : m_causes) o << "    - " << (c.count > 1 ? std::to_string(c.count) + " times, first: " : "") << c.first << "\n";
  if (m_uncaused) o << "    - and " << m_uncaused << " more\n";
  return o.str();
}

} // namespace sim

namespace sim {

std::string Platform::verdict() const {
  if (broken()) return "BROKEN (" + std::to_string(m_problem_count) + " problems)";
  return m_connections ? std::string("OK") : std::string("NO STATION"); // nothing was judged: no pass
}

Report::Header Platform::report_header() const {
  Report::Header h;
  h.name = m_opt.name;
  h.verdict = verdict();
  h.broken = broken() || !m_connections;
  h.peer = m_peer;
  h.mn = m_station_mn;
  h.edition = m_opt.standard >= 2025 ? "HJ 212-2025, UTF-8" : m_opt.standard ? "HJ 212-2017, GB18030" : "not checked (no --standard)";
  h.keyed = !m_opt.key.empty();
  h.summary = summary();
  for (const Pending& p : m_pending)
    if (!p.done) h.awaited.insert(p.qn);
  return h;
}

std::string Platform::report_html(std::string_view css) const { return m_report.html(report_header(), css); }

std::string Platform::report_junit() const { return m_report.junit(report_header()); }

} // namespace sim
