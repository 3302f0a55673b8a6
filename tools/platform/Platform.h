// The monitoring platform's side of an HJ 212 link, without the I/O: it runs a scenario of
// downlink requests, checks every frame the station sends, pairs replies with requests and
// keeps the figures of the summary. The caller feeds it bytes and time, and writes what it asks.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Codes.h"
#include "Duties.h"
#include "Flows2025.h"
#include "FrameCipher.h"
#include "Hj212Text.h"
#include "Judge.h"
#include "Periods.h"
#include "Problems.h"
#include "RealTime.h"
#include "Report.h"
#include "Requests.h"
#include "Scenario.h"

namespace sim {

// Told what the platform sees, on the platform's thread as it happens (the web view). It must
// return at once: the platform never waits for a browser.
class PlatformObserver {
public:
  virtual ~PlatformObserver() = default;
  virtual void link_up(const std::string& peer) = 0;
  virtual void link_down() = 0;
  // A whole frame: received from the station, or made to be sent (with its verdict either way).
  virtual void frame(bool incoming, std::string_view bytes, Verdict verdict) = 0;
};

class Platform {
public:
  struct Out {
    int64_t at;        // when to write it
    std::string bytes;
    bool drop = false; // close the connection instead of writing
  };
  using Log = std::function<void(const std::string&)>;

  Platform(std::vector<Step> steps, PlatformOptions options, Log log);

  void connected(int64_t now, const std::string& peer);
  // `closed_here`: why this end closed the link, named in the summary; empty: the station closed it.
  // `silent`: no frame came over it, so the requests it took go again over the next connection.
  void disconnected(int64_t now, const std::string& closed_here = std::string(), bool silent = false);
  void received(const char* data, size_t n, int64_t now);
  // Advances the scenario and the deadlines.
  void tick(int64_t now);
  // Writes whose time has come, in order.
  std::vector<Out> take_due(int64_t now);
  // The next moment after `now` tick() or take_due() has something to do (or -1: nothing planned).
  int64_t next_event(int64_t now) const;
  bool finished() const { return m_finished; }
  // The run ends, finished or not (Ctrl-C, --duration, a web view held open): what is judged over
  // the whole run is judged now, so resends that came after the scenario still fill their gaps.
  void stopped() {
    m_requests.give_up_unheard();
    m_periods.judge();
    if (m_opt.judge_duties && m_connections) m_duties->finish(m_opt.left_out);
  }
  bool link_wanted() const { return m_connected; }
  // --drop-link: the platform takes no connection now.
  bool refusing(int64_t now) const;
  // The key in force: --key, then each new one once the station took it (--key-log follows it).
  const std::string& key() const { return m_opt.key; }

  // Figures.
  bool broken() const { return m_problems.count() != 0; }
  // "OK", "BROKEN (N problems)" or "NO STATION": the summary's verdict and the report's.
  std::string verdict() const;
  std::string summary() const;
  // The acceptance report (--report, --report-junit): each check with its evidence; `css` the page's look.
  std::string report_html(std::string_view css) const;
  std::string report_junit() const;
  const Report& report() const { return m_report; }
  unsigned frames_in() const { return m_frames_in; }
  unsigned connections() const { return m_connections; }
  unsigned bad_frames() const { return m_bad_frames; }
  unsigned missing() const { return m_requests.counts().missing; }
  // Uploads of `cn` so far: history answers and resends (RF=1) are none.
  unsigned uploads(const std::string& cn) const { return m_tally.count(cn); }
  unsigned resends() const { return m_flows ? m_flows->resends() : 0u; }

  void set_observer(PlatformObserver* observer) { m_observer = observer; }
  // The link's counters as the web view shows them; what the platform does not count stays 0.
  struct Counters {
    unsigned frames_in = 0, frames_out = 0, answers_sent = 0, bad_frames = 0;
    unsigned resends = 0, heartbeats = 0;
    bool encrypted = false;
  };
  Counters counters() const;

private:
  // The link and the scenario's steps (Platform.cpp): bytes in, frames cut and read, steps started
  // and finished, writes queued.
  void start_step(int64_t now);
  void finish_step(int64_t now);
  // An uploads step: its count reached, or its time run out (a problem).
  bool uploads_done(const Step& s, int64_t now);
  void on_frame(std::string_view frame, int64_t now);
  // Bytes outside any frame.
  void junk(std::string_view bytes);
  // The pieces of on_frame(): how the key reads it, frames that fail, the 2025 flows' frames to
  // send, then the station's answers (9011, 9012) and its data.
  KeyedRead read_keyed(std::string_view received, std::string& plain, CipherWire& form);
  void rejected_frame(std::string_view received);
  void bad_frame(std::string_view received, Verdict verdict);
  void send_flow_frames(const Flows2025::Seen& seen, const Segment& seg, int64_t now);
  // --drop-link: drops the link when its time has come, and notes a station that stays away.
  void drop_link_tick(int64_t now);
  std::vector<Step> m_steps;
  PlatformOptions m_opt;
  Log m_log;
  // The plug-in's scanner cuts the station's bytes, with the platform's key: its frames and the
  // spans it rejects are read as frames (bad ones named), the rest is junk.
  StreamSpans m_spans;
  size_t m_step = 0;
  bool m_step_active = false;
  int64_t m_step_deadline = 0;
  int m_uploads_goal = 0;
  bool m_connected = false;
  bool m_waiting_reconnect = false;
  int64_t m_first_connect = -1;
  bool m_finished = false;
  std::deque<Out> m_out;
  std::string m_peer, m_station_mn;
  std::unique_ptr<Flows2025> m_flows; // --standard 2025 with a key
  std::unique_ptr<StationDuties> m_duties;
  enum class LinkDrop { Planned, Down, Done } m_drop = LinkDrop::Planned;
  int64_t m_drop_started = 0;
  bool m_step_waits_link = false; // a request step waits for the dropped link to come back
  unsigned m_frames_in = 0, m_frames_out = 0, m_bad_frames = 0, m_junk_bytes = 0, m_encrypted_out = 0;
  unsigned m_answers_sent = 0, m_connections = 0;

  // Requests (Requests.cpp): sent, paired with their answers by QN, awaited, their effects.
  // A request step: its frame as the step spoils it, sent (in pieces when split), then awaited.
  void send_request(const Step& s, int64_t now);
  // Requests a link that never spoke took go again over the next connection.
  void resend_unheard_requests(int64_t now);
  // Queues the frame (junk before it, cut as `bad` says); when its last piece goes out.
  int64_t queue_pieces(const std::string& frame, const Misbehaviour& bad, int64_t now);
  void queue(const std::string& bytes, int64_t at, bool drop = false);
  void on_ack(const Segment& seg, const std::string& qn, int64_t now);
  void on_result(const Segment& seg, const std::string& qn, int64_t now);
  // Effects of a request the station carried out, checked against the uploads that follow: 2012
  // stops real-time uploads, 1062 sets their interval, 2011 starts them again.
  void took_effect(const Request& p, int64_t now);

  // Uploads (Uploads.cpp): counted per CN, real-time ones to RealTime, period data to Periods,
  // history answers and resends kept apart.
  // `datatime`: the record's DataTime (of its first packet when it came in packets)
  void on_data(const Segment& seg, const std::string& datatime, bool whole, int64_t now);
  UploadTally m_tally;
  std::string m_packet_qn, m_packet_datatime; // the DataTime of an upload that comes in packets, from its first
  codes::ValueStats m_values;                // per factor: values and the code tables' notes

  // Problems and notes (Problems.h), and the summary (Summary.cpp).
  void problem(const std::string& what, const std::string& cause = std::string()) { m_problems.problem(what, cause); }
  void note(const std::string& what) { m_problems.note(what); }
  // The summary's rows of the station's data: uploads and their rate, history answers, resends.
  void data_rows(const std::function<void(const char*, const std::string&)>& row) const;
  PlatformObserver* m_observer = nullptr;
  Report m_report;
  Problems m_problems{m_log, m_report};
  // The judge (Judge.h): what a platform accepts of a frame and of an answer beyond reading it.
  // Rules over a connection as a whole: StationDuties (Duties.h).
  FrameJudge m_judge{m_opt, m_report, m_problems};
  RequestJudge m_request_judge{m_report, m_problems, m_flows};
  Periods m_periods{m_opt, m_problems};
  Requests m_requests{m_opt, m_problems};
  RealTime m_real_time{m_opt, m_problems, m_tally};
  Report::Header report_header() const;
};

} // namespace sim
