// The scenario language: its steps parsed from text, time placeholders, the built-in scenarios
// and --misbehave.
#include "Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>

#include "Duties.h"
#include "tools/common/Calendar.h"

namespace sim {

namespace {

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

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
const char* const kEveryDuty = "request CN=1062 CP=RtdInterval=2 # the standard's items only\n"
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

std::string duties_2025() {
  return "request CN=1002 # a new MN of 24 hex digits: 9011, 9012, then every frame carries it\n"
         "request CN=1014 # a new key pushed: the station sets it, 9011, 9012\n"
         "request CN=1014 CP=SKCreateTime=20250101000000000;NewSK=0123456789 # 10 characters: the station keeps its key\n";
}

std::string station_2025_scenario() {
  return std::string(kEveryDuty) + duties_2025() + "uploads CN=2011 count=2 timeout=10000 # with the new MN and key\n";
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

namespace {

// One word of a step's line ("CN=2011", "split", "500" after pause) set on `s`: what is wrong, or empty.
std::string step_item(const std::string& w, Step& s) {
  std::string expanded, unknown;
  if (!expand_times(w, 0, expanded, unknown)) return unknown;
  size_t eq = w.find('=');
  std::string key = w.substr(0, eq);
  std::string value = eq == std::string::npos ? std::string() : w.substr(eq + 1);
  if (s.kind == Step::Pause && eq == std::string::npos) {
    s.pause_ms = to_int(w, -1);
    if (s.pause_ms < 0) return "pause wants milliseconds";
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
  else if (key == "reply" || key == "expect") return answer_item(key, value, s);
  else return "unknown item \"" + w + "\"";
  return std::string();
}

} // namespace

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
      std::string why = step_item(w, s);
      if (!why.empty()) return fail(why);
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

void with_duties(std::vector<Step>& steps, PlatformOptions& options) {
  std::set<std::string> asked, left;
  std::vector<Step> kept;
  for (Step& s : steps) {
    if (s.kind == Step::Leave) {
      left.insert(s.cn);
      continue;
    }
    if (s.kind == Step::Request) asked.insert(s.cn);
    kept.push_back(std::move(s));
  }
  if (options.standard >= 2025 && !options.key.empty()) {
    std::vector<Step> duties;
    std::string error;
    parse_scenario(duties_2025(), duties, error); // the project's own text: it parses
    for (Step& d : duties)
      if (!asked.count(d.cn) && !left.count(d.cn)) kept.push_back(std::move(d));
    options.judge_duties = true;
  }
  options.left_out.assign(left.begin(), left.end());
  steps = std::move(kept);
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

} // namespace sim
