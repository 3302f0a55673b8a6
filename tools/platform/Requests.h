// The platform's requests: the ledger (Requests) pairs them with the station's answers by QN,
// keeps QNs unique, holds history answers' records to the range asked and knows what a lost or
// silent link leaves unanswered; the sender (RequestSender) sends them, sends again what a silent link
// took, takes the 9011 and 9012 answering them, their deadlines and their effects.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Problems.h"
#include "Scenario.h"
#include "tools/common/Hj212Text.h"

namespace sim {

// A request sent, and what its answers showed so far.
struct Request {
  std::string qn, cn;
  Step::Reply reply = Step::Full;
  Step::Expect expect = Step::Accepted;
  bool corrupt = false;
  bool judged = false;              // its refusal or its acceptance was weighed against `expect`
  std::string invalid;              // a value in its CP the station must refuse ("RtdInterval=0"); empty when none
  bool history = false;             // it asks for stored data (BeginTime in its CP): frames with its QN answer it
  bool notice = false;              // a notice by the tables (2012): answered 9013, not 9011 and 9012
  bool data_seen = false;           // its data came: a request answered by data ends with the 9012 after them
  int flag_version = -1;            // the protocol version its Flag gave
  bool resulted = false;            // its 9012 came
  int rtd_interval = 0;             // the RtdInterval its CP sets, in seconds; 0 when none
  std::string min_interval, new_pw; // the MinInterval a 1064 sets, the NewPW a 1072 sets; empty when none
  // A history request's BeginTime..EndTime (-1: absent or unreadable), and the DataTimes its answer gave so far
  int64_t begin_s = -1, end_s = -1;
  std::string begin_text, end_text;
  std::set<std::string> record_times;
  int64_t sent_at = 0, deadline = 0;
  bool acked = false, done = false;
  std::string qn_rtn, exe_rtn;
  // The request as it went out, to go again when the link it went out on never spoke.
  std::string wire;
  Misbehaviour bad;
  int timeout_ms = 0;
  bool unheard = false; // waits for the next connection
};

class Requests {
public:
  Requests(const PlatformOptions& options, Problems& problems) : m_opt(options), m_problems(problems) {}
  // A QN for a new request: the platform's clock, counted on within one millisecond.
  std::string next_qn();
  std::vector<Request>& all() { return m_all; }
  const std::vector<Request>& all() const { return m_all; }
  Request* find(const std::string& qn);
  // A request carried on (acknowledged, its data wanted) that data of `cn` answer, or null.
  Request* awaiting_data(const std::string& cn);
  // The history request a data frame answers, or null: its records are no uploads. By its QN (of
  // any CN, a wrong one judged, unless it reads as a live upload: the newest record of another CN,
  // or one before the 9011); or, the station's own QN on it (2017 and 2005), a frame of its CN
  // between its 9011 and 9012 that does not read as a live upload (outside the range, of the newest period).
  Request* history_request(const Segment& seg, const std::string& datatime);
  // A record of a history answer: the CN asked for, its DataTime inside the range asked, once.
  void history_record(Request& p, const std::string& cn, const std::string& datatime);
  // The link went down: every request still waiting for its answers is unanswered.
  void link_lost();
  // A link that never spoke took these requests: they wait for the next connection, then go again;
  // the run ending first leaves them unanswered.
  void hold_unheard();
  void give_up_unheard();
  struct Counts {
    unsigned sent = 0, answered = 0, missing = 0, unexpected = 0;
    std::vector<int64_t> ack_ms, final_ms; // latency of the 9011 and of the whole answer
  };
  Counts& counts() { return m_counts; }
  const Counts& counts() const { return m_counts; }
  // A request waits for its answers.
  bool pending() const;
  // The earliest deadline after `now` of a request still waiting, or -1.
  int64_t next_deadline(int64_t now) const;

private:
  bool newest_record(const Segment& seg, const std::string& datatime) const;

  const PlatformOptions& m_opt;
  Problems& m_problems;
  std::vector<Request> m_all;
  std::string m_last_qn;
  Counts m_counts;
};

class Flows2025;
class Outbox;
class PlatformObserver;
class RealTime;
class Report;
class RequestJudge;

class RequestSender {
public:
  // The parts of the platform a request touches: it goes out through `out`, the ledger keeps it, `judge` weighs
  // its answers, `real_time` sees its effects; `flows` (or null) and `observer` (or null) are the platform's.
  struct Parts {
    const PlatformOptions& opt;
    Requests& ledger;
    Outbox& out;
    Report& report;
    Problems& problems;
    RequestJudge& judge;
    RealTime& real_time;
    const std::unique_ptr<Flows2025>& flows;
    PlatformObserver* const& observer;
    const std::function<void(const std::string&)>& log;
    std::string& station_pw; // the PW requests carry: a 1072 carried out changes it
  };
  explicit RequestSender(const Parts& parts) : m_parts(parts) {}
  // A request step: its frame as the step spoils it, sent (in pieces when split), then awaited.
  void send(const Step& s, int64_t now);
  // A request of the 2025 flows outside the scenario (`frame`, answering the station's `qn` of
  // `cn`), awaited like the scenario's.
  void send_flow_request(const std::string& frame, const std::string& qn, const std::string& cn, int64_t now);
  // Requests a link that never spoke took go again over the next connection.
  void resend_unheard(int64_t now);
  // The station's 9011 and 9012 with the QN they answer.
  void on_ack(const Segment& seg, const std::string& qn, int64_t now);
  void on_result(const Segment& seg, const std::string& qn, int64_t now);
  // The station's 9013, which answers a notice.
  void on_notice_answer(const std::string& qn, int64_t now);
  // Data with a request's QN: weighed by the request's order (9011, the data, then 9012); true
  // when the data end its answer.
  bool on_request_data(Request& p, const Segment& seg);
  // Effects of a request the station carried out, checked against the uploads that follow: 2012
  // stops real-time uploads, 1062 sets their interval, 2011 starts them again.
  void took_effect(const Request& p, int64_t now);
  // The station's first word on a request, carried out or not, weighed once against its step.
  void refused(Request& p, const char* field, const std::string& code);
  void accepted(Request& p, const std::string& how);
  // Requests whose deadline passed: unanswered, unless silence was what they wanted.
  void expire(int64_t now);
  unsigned frames_out() const { return m_frames_out; }
  unsigned encrypted_out() const { return m_encrypted_out; }

private:
  // Whether the judge is to weigh this word: the first on the request, on none of the flows'.
  bool first_word(Request& p);
  // Queues the frame (junk before it, cut as `bad` says); when its last piece goes out.
  int64_t queue_pieces(const std::string& frame, const Misbehaviour& bad, int64_t now);
  Parts m_parts;
  unsigned m_frames_out = 0, m_encrypted_out = 0;
  std::string m_min_interval; // the MinInterval the station last took (1064); empty before any
};

} // namespace sim
