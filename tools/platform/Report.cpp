#include "Report.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "hj212/Charset.h"
#include "hj212/Envelope.h"
#include "tools/common/Hj212Text.h"
#include "tools/common/TextSafe.h"
#include "tools/common/sys/System.h"

namespace sim {

namespace {

const char* const kRuleInvalid = "an invalid value (0 or less) is refused: QnRtn or ExeRtn other than 1";
const char* const kRuleStop = "real-time uploads (2011) stop within one upload interval of a 2012 carried out";
const char* const kRuleStart = "a 2011 carried out starts real-time uploads";
const char* const kRuleFrames = "every frame has its header, a length, a CRC and CR LF right";
const char* const kRuleOutside = "nothing is sent outside frames";
const char* const kRuleLink = "the station keeps its link, and comes back after a drop";
const char* const kRuleStray = "every answer (9011, 9012) carries the QN of a request";
const char* const kRuleRecords = "history records: the CN asked for, a DataTime inside BeginTime..EndTime, each once";
const char* const kRulePeriods = "period data carry their period's start: on its boundary, sent once it is over, one record per period, none missing";

// Problems that belong to a rule of their own, by a phrase of their text.
struct Kind {
  const char* phrase;
  enum Attach { RequestRule, Stop, Interval, Uploads, Periods, Station, Tallied, Link, Answers } attach;
  const char* rule; // null: the attach's own
  const char* category;
  Report::Tally tally = Report::Tally::Version; // Tallied: the frames' rule it fails
};
const Kind kKinds[] = {
    {"accepted an invalid ", Kind::RequestRule, kRuleInvalid, "refusal"},
    {"history answer to CN=", Kind::RequestRule, kRuleRecords, "history"},
    {" is not on a boundary of its ", Kind::Periods, kRulePeriods, "periods"},
    {" stamped with its period's end", Kind::Periods, kRulePeriods, "periods"},
    {": one record per period", Kind::Periods, kRulePeriods, "periods"},
    {" s missing between its records", Kind::Periods, kRulePeriods, "periods"},
    {"period data carry their period's start", Kind::Periods, kRulePeriods, "periods"},
    {"kept uploading CN=2011 after 2012", Kind::Stop, kRuleStop, "effect"},
    {"RtdInterval set to ", Kind::Interval, nullptr, "effect"},
    {" uploads of CN=", Kind::Uploads, nullptr, "uploads"},
    {" carries Flag=", Kind::Tallied, nullptr, "standard", Report::Tally::Version},
    {" is not UTF-8 with", Kind::Tallied, nullptr, "standard", Report::Tally::Charset},
    {" is not GB18030 with", Kind::Tallied, nullptr, "standard", Report::Tally::Charset},
    {" is not encrypted", Kind::Tallied, nullptr, "encryption", Report::Tally::Encryption},
    {"CRC over the encrypted bytes", Kind::Tallied, nullptr, "encryption", Report::Tally::Encryption},
    {"bad frame from the station", Kind::Station, kRuleFrames, "frames"},
    {"is no data command, yet its data segment is not text", Kind::Station, kRuleFrames, "frames"},
    {"bytes outside any frame", Kind::Link, kRuleOutside, "frames"},
    {"the station closed the connection", Kind::Link, kRuleLink, "link"},
    {"did not come back after the dropped", Kind::Link, kRuleLink, "link"},
    {"which no request carried", Kind::Answers, kRuleStray, "exchange"},
};

// The digits after `at` in `s` (a QN), or empty.
std::string digits_at(const std::string& s, size_t at) {
  size_t end = at;
  while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
  return s.substr(at, end - at);
}

// The value after "CN=" in a text, or empty.
std::string cn_in(const std::string& s) {
  size_t at = s.find("CN=");
  return at == std::string::npos ? std::string() : digits_at(s, at + 3);
}

// The QN field of a frame's header, or empty.
std::string frame_qn(std::string_view frame) {
  size_t at = frame.find("QN=");
  if (at == std::string_view::npos || (at > 6 && frame[at - 1] != ';')) return std::string();
  size_t end = frame.find_first_of(";&", at + 3);
  return std::string(frame.substr(at + 3, (end == std::string_view::npos ? frame.size() : end) - at - 3));
}

// The frame as it is shown: no CR LF at its end, keys masked, at most kShownBytes (on a character's start).
std::string shown_bytes(std::string_view frame, bool& cut_short) {
  if (frame.size() >= 2 && frame.substr(frame.size() - 2) == "\r\n") frame.remove_suffix(2);
  cut_short = frame.size() > Report::kShownBytes;
  size_t cut = frame.size() > Report::kShownBytes ? Report::kShownBytes : frame.size();
  for (int back = 0; back < 3 && cut < frame.size() && cut > 0 && (static_cast<unsigned char>(frame[cut]) & 0xC0) == 0x80; ++back) --cut;
  return mask_keys(frame.substr(0, cut));
}

std::string attribute(std::string_view text) {
  std::string out;
  for (char c : Report::markup_text(text)) out += c == '\n' ? std::string("&#10;") : std::string(1, c);
  return out;
}

// A text with each run of digits (QNs, times, counts) as one '#'.
std::string digits_masked(const std::string& s) {
  std::string k;
  for (char ch : s) {
    if (ch < '0' || ch > '9') k += ch;
    else if (k.empty() || k.back() != '#') k += '#';
  }
  return k;
}

// Whether `what` differs from each of `seen` by more than its digits.
bool cause_key_differs(const std::vector<std::string>& seen, const std::string& what) {
  const std::string mine = digits_masked(what);
  for (const std::string& s : seen)
    if (digits_masked(s) == mine) return false;
  return true;
}

const char* state_word(Report::State s) { return s == Report::State::Passed ? "pass" : s == Report::State::Failed ? "FAIL" : "open"; }

} // namespace

std::string Report::safe_text(std::string_view bytes) { return text_safe(bytes, kKeepLines | kDoubleBackslash); }

std::string Report::markup_text(std::string_view bytes) {
  std::string out;
  for (char c : safe_text(bytes)) {
    switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    case '\'': out += "&#39;"; break;
    default: out += c;
    }
  }
  return out;
}

void Report::start_clock(int64_t now) {
  if (m_clock_set) return;
  m_clock_set = true;
  m_origin = now;
  m_wall_origin = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Report::Frame Report::make_frame(bool incoming, std::string_view bytes, int64_t now) {
  start_clock(now);
  Frame f;
  f.incoming = incoming;
  f.at = now;
  f.size = bytes.size();
  // a 2017 station's Chinese text read as a person reads it; bytes that are neither charset stay bytes
  std::string text;
  f.gb18030 = !HJ::is_utf8(bytes.data(), bytes.size()) && HJ::is_gb18030(bytes.data(), bytes.size()) && HJ::gb18030_to_utf8(std::string(bytes), text);
  f.bytes = shown_bytes(f.gb18030 ? std::string_view(text) : bytes, f.cut);
  return f;
}

Report::Check* Report::find_or_add(const std::string& rule, const std::string& subject, const std::string& category, State state) {
  const std::string key = rule + '\n' + subject;
  auto it = m_index.find(key);
  if (it != m_index.end()) return &m_checks[it->second];
  if (m_checks.size() >= kMaxChecks) { // a day-long run stays small: the rest only counted
    ++m_dropped;
    return nullptr;
  }
  m_index.emplace(key, m_checks.size());
  Check c;
  c.rule = rule;
  c.subject = subject;
  c.category = category;
  c.state = state;
  m_checks.push_back(std::move(c));
  return &m_checks.back();
}

void Report::add_frame(Check& c, const Frame& f) {
  if (!c.evidence.empty() && c.evidence.back().at == f.at && c.evidence.back().bytes == f.bytes) return; // the same frame twice
  ++c.frames_seen;
  if (c.evidence.size() <= kFirstFrames) c.evidence.push_back(f);
  else c.evidence.back() = f; // the first ones, and the latest
}

void Report::request(const std::string& qn, const std::string& cn, const std::string& rule, std::string_view frame, int64_t now, bool must_refuse,
                     bool history) {
  const std::string subject = "request CN=" + cn + " QN=" + qn;
  Check* c = find_or_add(rule, subject, "exchange", State::Passed);
  if (!c) return;
  add_frame(*c, make_frame(false, frame, now));
  const size_t index = static_cast<size_t>(c - m_checks.data());
  c->qn = qn;
  m_requests[qn] = index;
  if (must_refuse) add_request_rule(qn, kRuleInvalid, "refusal", "the station did not answer it");
  if (history) add_request_rule(qn, kRuleRecords, "history", "no record came");
}

void Report::add_request_rule(const std::string& qn, const char* rule, const char* category, const char* open_reason) {
  auto request = m_requests.find(qn);
  if (request == m_requests.end()) return;
  const size_t index = request->second;
  Check* c = find_or_add(rule, m_checks[index].subject, category, State::Open);
  if (!c) return;
  c->open_reason = open_reason;
  add_frame(*c, m_checks[index].evidence.front());
  m_request_rules[qn].push_back(static_cast<size_t>(c - m_checks.data()));
}

void Report::pass_request_rule(const std::string& qn, const char* rule) {
  auto it = m_request_rules.find(qn);
  if (it == m_request_rules.end()) return;
  for (size_t i : it->second) {
    Check& c = m_checks[i];
    if (c.rule != rule) continue;
    ++c.passes;
    if (c.state == State::Open) c.state = State::Passed;
    if (m_has_current) add_frame(c, m_current);
  }
}

void Report::history_record(const std::string& qn) { pass_request_rule(qn, kRuleRecords); }

void Report::period_record(const std::string& cn) {
  Check* c = find_or_add(kRulePeriods, "uploads CN=" + cn, "periods", State::Passed);
  if (!c) return;
  ++c->passes;
  if (m_has_current) add_frame(*c, m_current);
}

void Report::frame_in(std::string_view frame, int64_t now) {
  m_current = make_frame(true, frame, now);
  m_has_current = true;
  auto it = m_requests.find(frame_qn(frame));
  if (it == m_requests.end()) return;
  add_frame(m_checks[it->second], m_current);
  // a history request answered "no data": no record is its answer
  const size_t no_data = frame.find(";CN=9012;") != std::string_view::npos ? frame.find("ExeRtn=100") : std::string_view::npos;
  if (no_data != std::string_view::npos && (no_data + 10 >= frame.size() || frame[no_data + 10] < '0' || frame[no_data + 10] > '9'))
    pass_request_rule(it->first, kRuleRecords);
}

void Report::answer(const std::string& qn) {
  auto it = m_requests.find(qn);
  if (it == m_requests.end() || !m_has_current) return;
  add_frame(m_checks[it->second], m_current);
  // a 2011 answered by its first upload: the upload is the effect
  if (m_checks[it->second].subject.rfind("request CN=2011 ", 0) != 0) return;
  effect(qn, "2011", 0, m_current.at);
  auto started = m_last_effect.find("2011");
  if (started == m_last_effect.end()) return;
  Check& e = m_checks[started->second];
  add_frame(e, m_current);
  e.state = State::Passed;
}

void Report::invalid_refused(const std::string& qn) { pass_request_rule(qn, kRuleInvalid); }

void Report::effect(const std::string& qn, const std::string& cn, int rtd_interval_s, int64_t now) {
  start_clock(now);
  auto request = m_requests.find(qn);
  if (request == m_requests.end()) return;
  const std::string subject = m_checks[request->second].subject;
  std::string rule, which, open;
  State state = State::Open;
  if (cn == "2012") rule = kRuleStop, which = "2012", state = State::Passed;
  else if (cn == "2011") rule = kRuleStart, which = "2011", open = "no real-time upload came after it";
  else if (rtd_interval_s > 0) {
    rule = "real-time uploads come every " + std::to_string(rtd_interval_s) + " s, the RtdInterval set";
    which = "interval";
    open = "fewer than two real-time uploads came after it";
  } else return;
  Check* c = find_or_add(rule, subject, "effect", state);
  if (!c || !c->evidence.empty()) return; // a request's effect is weighed once (its data, then its 9012)
  c->open_reason = open;
  for (const Frame& f : m_checks[request->second].evidence) add_frame(*c, f);
  const size_t index = static_cast<size_t>(c - m_checks.data());
  m_last_effect[which] = index;
  m_effect_uploads[index] = 0;
}

void Report::upload(const std::string& cn, int64_t now) {
  start_clock(now);
  Check* c = find_or_add("the station uploads its data (CN=" + cn + ")", "uploads CN=" + cn, "uploads", State::Passed);
  if (c) {
    ++c->passes;
    if (m_has_current) add_frame(*c, m_current);
  }
  if (cn != "2011") return;
  for (const char* which : {"2011", "interval"}) {
    auto it = m_last_effect.find(which);
    if (it == m_last_effect.end()) continue;
    Check& e = m_checks[it->second];
    if (m_has_current && e.state == State::Open) add_frame(e, m_current);
    if (e.state == State::Open && ++m_effect_uploads[it->second] >= (which[0] == '2' ? 1u : 2u)) e.state = State::Passed;
  }
}

std::string Report::tally_rule(Tally rule) const {
  const char* version = m_edition >= 2025 ? "2025" : "2017";
  switch (rule) {
  case Tally::Version: return std::string("every frame carries version ") + version + " in its Flag";
  case Tally::Charset: return std::string("non-ASCII text comes in ") + (m_edition >= 2025 ? "UTF-8" : "GB18030") + ", length and CRC over its bytes";
  case Tally::Encryption: break;
  }
  return "CN 2000-2999 frames come encrypted, the CRC over the plain data";
}

void Report::tally(Tally rule) {
  Check* c = find_or_add(tally_rule(rule), "station frames", rule == Tally::Encryption ? "encryption" : "standard", State::Passed);
  if (c) ++c->passes;
}

Report::Check* Report::request_named(const std::string& what) {
  for (const char* mark : {"QN=", "QN "}) {
    for (size_t at = what.find(mark); at != std::string::npos; at = what.find(mark, at + 3)) {
      auto it = m_requests.find(digits_at(what, at + 3));
      if (it != m_requests.end()) return &m_checks[it->second];
    }
  }
  return nullptr;
}

void Report::fail(Check& c, const std::string& what) {
  if (c.failures++ == 0) c.problem = what;
  // other causes on the same check shown too, a few: a request both refused and late, say
  if (c.problems.size() < kProblems && (c.problems.empty() || cause_key_differs(c.problems, what))) c.problems.push_back(what);
  c.state = State::Failed;
  if (m_has_current) add_frame(c, m_current);
}

void Report::problem(const std::string& what, const std::string& cause) {
  const Kind* kind = nullptr;
  for (const Kind& k : kKinds)
    if (what.find(k.phrase) != std::string::npos) {
      kind = &k;
      break;
    }
  Check* c = nullptr;
  if (!kind) { // a request's exchange, when the text names one; else a check of its own cause
    c = request_named(what);
    if (!c) {
      const std::string cn = cn_in(what);
      c = find_or_add(cause, cn.empty() ? std::string("station") : "CN=" + cn, "other", State::Passed);
    }
  } else if (kind->attach == Kind::RequestRule || kind->attach == Kind::Stop || kind->attach == Kind::Interval) {
    Check* exchange = kind->attach == Kind::RequestRule ? request_named(what) : nullptr;
    if (exchange) {
      for (size_t i : m_request_rules[exchange->qn])
        if (m_checks[i].rule == kind->rule) c = &m_checks[i];
    } else if (kind->attach != Kind::RequestRule) {
      auto it = m_last_effect.find(kind->attach == Kind::Stop ? "2012" : "interval");
      if (it != m_last_effect.end()) c = &m_checks[it->second];
    }
    if (!c) c = find_or_add(kind->rule ? kind->rule : cause, "station", kind->category, State::Passed);
  } else if (kind->attach == Kind::Periods) {
    c = find_or_add(kRulePeriods, "uploads CN=" + cn_in(what), kind->category, State::Passed);
  } else if (kind->attach == Kind::Uploads) {
    const std::string cn = cn_in(what);
    c = find_or_add("the station uploads its data (CN=" + cn + ")", "uploads CN=" + cn, "uploads", State::Passed);
  } else if (kind->attach == Kind::Tallied) {
    c = find_or_add(tally_rule(kind->tally), "station frames", kind->category, State::Passed);
  } else {
    const char* subject = kind->attach == Kind::Station ? "station frames" : kind->attach == Kind::Link ? "link" : "answers";
    c = find_or_add(kind->rule, subject, kind->category, State::Passed);
  }
  if (c) fail(*c, what);
  else ++m_dropped_failed;
}

Report::State Report::state_of(const Check& c, const Header& h) const {
  if (c.state != State::Passed || c.category != "exchange") return c.state;
  // a request still waiting when the run ended is not judged yet
  return h.awaited.count(c.qn) ? State::Open : State::Passed;
}

std::string Report::times(int64_t at) const {
  char text[64];
  const int64_t since = at - m_origin;
  const int64_t wall_ms = m_wall_origin + since;
  const time_t wall = static_cast<time_t>(wall_ms / 1000);
  tm local{};
  sys::local_time(wall, local);
  char clock[16];
  std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  std::snprintf(text, sizeof text, "+%lld.%03lld s, %s.%03lld", static_cast<long long>(since / 1000), static_cast<long long>(since % 1000), clock,
                static_cast<long long>(wall_ms % 1000));
  return text;
}

namespace {

// The CSS the page adds to the web view's own.
const char* const kReportCss = R"(
header .badge { font-size: 16px; font-weight: 600; }
#checks tr.check.failed { background: var(--bad-bg); }
#checks tr.check.open td.result .badge { color: var(--warn); background: var(--warn-bg); }
#checks td.result { white-space: nowrap; }
#checks td.subject { white-space: nowrap; font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: 12px; }
#checks .problem { color: var(--bad); font-weight: 600; margin-bottom: 2px; }
#checks .frames { width: auto; }
#checks .frames td { border: 0; padding: 0 6px 0 0; font: 12px/1.35 ui-monospace, "DejaVu Sans Mono", monospace; color: var(--muted); }
#checks .frames td { white-space: nowrap; }
#checks .frames td.bytes { color: #1d232b; white-space: normal; overflow-wrap: anywhere; }
#station th { width: 10em; }
)";

} // namespace

std::string Report::html_check(const Check& c, State s) const {
  std::ostringstream o;
  const char* cls = s == State::Failed ? "failed" : s == State::Open ? "open" : "passed";
  o << "<tr class=\"check " << cls << "\" data-category=\"" << c.category << "\"><td class=\"result\"><span class=\"badge "
    << (s == State::Failed   ? "bad"
        : s == State::Passed ? "ok"
                             : "")
    << "\">" << state_word(s) << "</span></td><td class=\"rule\">" << markup_text(c.rule) << "</td><td class=\"subject\">" << markup_text(c.subject)
    << "</td><td class=\"evidence\">";
  if (s == State::Failed) {
    for (const std::string& p : c.problems) o << "<div class=\"problem\">" << markup_text(p) << "</div>";
    if (c.failures > 1) o << "<div class=\"hint\">failed " << c.failures << " times, the first shown first</div>";
  }
  if (s == State::Open)
    o << "<div class=\"hint\">" << markup_text(c.open_reason.empty() ? "still awaited when the run ended" : c.open_reason) << "</div>";
  if (c.passes > 1)
    o << "<div class=\"hint\">"
      << (c.category == "uploads" ? std::to_string(c.passes) + " uploads" : "checked " + std::to_string(c.passes) + " times") << "</div>";
  if (!c.evidence.empty()) o << html_evidence(c);
  o << "</td></tr>\n";
  return o.str();
}

std::string Report::html_evidence(const Check& c) const {
  std::ostringstream o;
  o << "<table class=\"frames\">";
  for (size_t i = 0; i < c.evidence.size(); ++i) {
    const Frame& f = c.evidence[i];
    if (i == kFirstFrames + 0 && c.frames_seen > kFirstFrames + 1)
      o << "<tr><td colspan=\"3\" class=\"hint\">&hellip; " << (c.frames_seen - kFirstFrames - 1) << " frames between</td></tr>";
    // an answer's time after its request: the reply timeout's measure
    const bool answer = !c.qn.empty() && i > 0 && !c.evidence[0].incoming;
    o << "<tr><td>" << (f.incoming ? "&larr; in" : "&rarr; out") << "</td><td>" << times(f.at)
      << (answer ? " <span class=\"hint\">(" + std::to_string(f.at - c.evidence[0].at) + " ms on)</span>" : std::string())
      << "</td><td class=\"bytes\">" << markup_text(f.bytes) << (f.cut ? " &hellip; (" + std::to_string(f.size) + " bytes)" : std::string())
      << (f.gb18030 ? " <span class=\"hint\">(GB18030)</span>" : "") << "</td></tr>";
  }
  o << "</table>";
  return o.str();
}

std::string Report::html(const Header& h, std::string_view css) const {
  size_t passed = 0, failed = 0, open = 0;
  for (const Check& c : m_checks) {
    State s = state_of(c, h);
    (s == State::Passed ? passed : s == State::Failed ? failed : open)++;
  }
  std::ostringstream o;
  const std::string name = markup_text(h.name);
  o << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" << name << ": acceptance report</title>\n<style>\n"
    << css << kReportCss << "</style>\n</head>\n<body>\n<header><h1>Acceptance report<span class=\"sub\">" << name
    << ", polmon-platform</span></h1><span id=\"verdict\" class=\"badge " << (h.broken ? "bad" : "ok") << "\">" << markup_text(h.verdict)
    << "</span></header>\n<main>\n";
  o << "<section class=\"wide\" id=\"station\"><h2>Station</h2><table>\n";
  auto row = [&](const char* label, const std::string& value) { o << "<tr><th>" << label << "</th><td>" << markup_text(value) << "</td></tr>\n"; };
  row("MN", h.mn.empty() ? "none seen" : h.mn);
  row("peer", h.peer.empty() ? "never connected" : h.peer);
  row("edition", h.edition);
  row("key", h.keyed ? "yes" : "no");
  row("verdict", h.verdict);
  if (m_clock_set) {
    const time_t wall = static_cast<time_t>(m_wall_origin / 1000);
    tm local{};
    sys::local_time(wall, local);
    char started[32];
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S %z", &local);
    row("started", started);
  }
  row("checks",
      std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " + std::to_string(open) + " open" +
          (m_dropped ? ", " + std::to_string(m_dropped) + " more not kept (" + std::to_string(m_dropped_failed) + " of their problems)" : ""));
  o << "</table></section>\n";
  o << "<section class=\"wide\" id=\"checks\"><h2>Checks<small>failed first, then open, then passed; each in the order it was "
       "first made</small></h2>\n<table><thead><tr><th>result</th><th>rule</th><th>subject</th><th>evidence</th></tr></thead>\n<tbody>\n";
  for (State want : {State::Failed, State::Open, State::Passed}) {
    for (const Check& c : m_checks) {
      const State s = state_of(c, h);
      if (s != want) continue;
      o << html_check(c, s);
    }
  }
  o << "</tbody></table></section>\n";
  o << "<section class=\"wide\" id=\"summary\"><h2>Summary</h2><pre class=\"summary\">" << markup_text(h.summary) << "</pre></section>\n";
  o << "</main>\n<footer>Times: the platform's clock since its first event, and the wall clock. Frames shown up to " << kShownBytes
    << " bytes, bytes that are not text as \\xHH, keys as ****.</footer>\n</body>\n</html>\n";
  return o.str();
}

std::string Report::junit(const Header& h) const {
  size_t failed = 0, open = 0;
  for (const Check& c : m_checks) {
    State s = state_of(c, h);
    failed += s == State::Failed;
    open += s == State::Open;
  }
  // one testcase more: the verdict itself, so the suite fails exactly when the verdict does
  // no station at all: the verdict has nothing to go on, and CI must not read that as a pass
  const bool nobody = h.peer.empty();
  const size_t tests = m_checks.size() + 1 + (m_dropped ? 1 : 0) + (nobody ? 1 : 0);
  const size_t failures = failed + (h.broken ? 1 : 0) + (m_dropped_failed ? 1 : 0) + (nobody ? 1 : 0);
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"polmon-platform\" tests=\"" << tests << "\" failures=\"" << failures
    << "\">\n<testsuite name=\"polmon-platform\" tests=\"" << tests << "\" failures=\"" << failures << "\" errors=\"0\" skipped=\"" << open << "\"";
  if (m_clock_set) { // when the run started, as CI servers read it
    const time_t wall = static_cast<time_t>(m_wall_origin / 1000);
    tm utc{};
    sys::utc_time(wall, utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    o << " timestamp=\"" << stamp << "\"";
  }
  o << ">\n<properties>\n";
  auto property = [&](const char* key, const std::string& value) {
    o << "<property name=\"" << key << "\" value=\"" << attribute(value) << "\"/>\n";
  };
  property("name", h.name);
  property("verdict", h.verdict);
  property("mn", h.mn);
  property("peer", h.peer);
  property("edition", h.edition);
  property("key", h.keyed ? "yes" : "no");
  o << "</properties>\n";
  o << "<testcase classname=\"polmon-platform.verdict\" name=\"verdict: " << attribute(h.verdict) << "\">";
  if (h.broken) o << "<failure message=\"" << attribute(h.verdict) << "\" type=\"verdict\">" << markup_text(h.summary) << "</failure>";
  o << "</testcase>\n";
  if (nobody)
    o << "<testcase classname=\"polmon-platform.link\" name=\"a station came\"><failure message=\"no station came\" "
         "type=\"link\"/></testcase>\n";
  for (const Check& c : m_checks) {
    const State s = state_of(c, h);
    o << "<testcase classname=\"polmon-platform." << c.category << "\" name=\"" << attribute(c.subject + ": " + c.rule) << "\">";
    if (s == State::Failed) {
      o << "<failure message=\"" << attribute(c.problem) << "\" type=\"" << c.category << "\">";
      if (c.failures > 1) o << "failed " << c.failures << " times\n";
      for (const std::string& p : c.problems) o << markup_text(p) << "\n";
      for (const Frame& f : c.evidence) o << (f.incoming ? "&lt;- " : "-&gt; ") << times(f.at) << "  " << markup_text(f.bytes) << "\n";
      o << "</failure>";
    } else if (s == State::Open) {
      o << "<skipped message=\"" << attribute(c.open_reason.empty() ? "still awaited when the run ended" : c.open_reason) << "\"/>";
    }
    o << "</testcase>\n";
  }
  if (m_dropped) {
    o << "<testcase classname=\"polmon-platform.other\" name=\"" << m_dropped << " further checks, beyond the " << kMaxChecks << " kept\">";
    if (m_dropped_failed) o << "<failure message=\"" << m_dropped_failed << " problems among them\" type=\"other\"/>";
    o << "</testcase>\n";
  }
  o << "<system-out>" << markup_text(h.summary) << "</system-out>\n</testsuite>\n</testsuites>\n";
  return o.str();
}

} // namespace sim
