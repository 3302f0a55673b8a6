// The acceptance report of a run: each check the platform made, passed or failed, with the
// frames that show it and their times. Bounded for a day-long run: a check per rule and subject,
// a few frames each, a fixed number of checks.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Report {
public:
  struct Frame {
    bool incoming = true;
    int64_t at = 0;                    // the platform's clock (ms)
    std::string bytes;                 // shortened; escaped only when written
    size_t size = 0;                   // the whole frame's length
    bool cut = false, gb18030 = false; // shortened; GB18030 text shown decoded
  };
  enum class State { Passed, Failed, Open };
  struct Check {
    std::string rule, subject, category;
    std::string qn; // a request's exchange: the request's QN
    State state = State::Passed;
    unsigned passes = 0, failures = 0;
    std::string problem;               // the first failure's text
    std::vector<std::string> problems; // the first kProblems distinct ones, `problem` first
    std::vector<Frame> evidence;       // the first kFirstFrames, then the latest one
    size_t frames_seen = 0;
    std::string open_reason; // why an Open check stayed open
  };
  // What the page and the test suite show above the checks; the verdict is the summary's own.
  struct Header {
    std::string name, verdict, peer, mn, edition, summary;
    bool broken = false, keyed = false;
    std::set<std::string> awaited; // QNs of requests still waiting for their answers
  };

  static constexpr size_t kFirstFrames = 4, kMaxChecks = 500, kShownBytes = 240, kProblems = 3;

  // Hooks, each beside the platform's own judging.
  // The edition (2017, 2025; 0: none) the version and charset rules are worded for.
  void edition(int standard) { m_edition = standard; }
  // A request sent: its exchange check, judged by `rule`, with the request as the first frame;
  // `must_refuse`: it carries an invalid value, which the station must refuse.
  // `history`: it asks for stored records, which are held to a rule of their own.
  void request(const std::string& qn, const std::string& cn, const std::string& rule, std::string_view frame, int64_t now, bool must_refuse = false,
               bool history = false);
  // A whole frame from the station; frames carrying a request's QN are its exchange's evidence.
  void frame_in(std::string_view frame, int64_t now);
  // The current frame answers the request `qn` though it carries another QN (an upload answering a 2011).
  void answer(const std::string& qn);
  void frame_done() {
    m_current = Frame();
    m_has_current = false;
  }
  // The request with an invalid value was refused, as it must be.
  void invalid_refused(const std::string& qn);
  // A record (the current frame) answering the history request `qn`; its faults come through problem().
  void history_record(const std::string& qn);
  // A record of period data (minute, hourly, daily) of `cn`, judged against its period.
  void period_record(const std::string& cn);
  // A request carried out whose effect later uploads show (2012, 2011, an interval set).
  void effect(const std::string& qn, const std::string& cn, int rtd_interval_s, int64_t now);
  // An upload (no history answer, no resend) of `cn`: the current frame is its evidence.
  void upload(const std::string& cn, int64_t now);
  // A frame held to a station-wide rule; the ones that fail it come through problem().
  enum class Tally { Version, Charset, Encryption };
  void tally(Tally rule);
  // A problem the platform found, with its cause (the summary's grouping): fails a check.
  void problem(const std::string& what, const std::string& cause);

  std::string html(const Header& h, std::string_view css) const;
  std::string junit(const Header& h) const;

  const std::vector<Check>& checks() const { return m_checks; }
  size_t dropped_checks() const { return m_dropped; }
  size_t dropped_failures() const { return m_dropped_failed; }

  // Any bytes as UTF-8 text, as every text output has them (text_safe, TextSafe.h), line ends kept and
  // the backslash as \\, so the result is valid in HTML and in XML 1.0.
  static std::string safe_text(std::string_view bytes);
  // safe_text() with &, <, >, " and ' as entities.
  static std::string markup_text(std::string_view bytes);

private:
  Check* find_or_add(const std::string& rule, const std::string& subject, const std::string& category, State state);
  void add_frame(Check& c, const Frame& f);
  Frame make_frame(bool incoming, std::string_view bytes, int64_t now);
  // The request a problem's text names by its QN, or null.
  Check* request_named(const std::string& what);
  void fail(Check& c, const std::string& what);
  // A rule of the request `qn` besides its exchange, open until shown.
  void add_request_rule(const std::string& qn, const char* rule, const char* category, const char* open_reason);
  void pass_request_rule(const std::string& qn, const char* rule);
  void start_clock(int64_t now);
  std::string times(int64_t at) const;
  // The HTML report's row of one check in state `s`, and the frames it shows as its evidence.
  std::string html_check(const Check& c, State s) const;
  std::string html_evidence(const Check& c) const;
  State state_of(const Check& c, const Header& h) const;
  std::string tally_rule(Tally rule) const;

  std::vector<Check> m_checks;
  std::map<std::string, size_t> m_index;                      // rule + '\n' + subject -> its check
  std::map<std::string, size_t> m_requests;                   // QN -> its exchange check
  std::map<std::string, std::vector<size_t>> m_request_rules; // QN -> its other checks
  std::map<std::string, size_t> m_last_effect;                // "2012", "2011", "interval" -> its latest effect check
  std::map<size_t, unsigned> m_effect_uploads;                // effect check -> uploads seen since
  Frame m_current;
  bool m_has_current = false;
  size_t m_dropped = 0, m_dropped_failed = 0;
  int m_edition = 0;
  bool m_clock_set = false;
  int64_t m_origin = 0, m_wall_origin = 0; // the first event, on the platform's clock and the wall's (ms)
};

} // namespace sim
