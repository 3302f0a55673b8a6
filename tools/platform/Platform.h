// The monitoring platform's side of an HJ 212 link, without the I/O. It coordinates its rooms:
// the scenario's runner (Scenario.h), the requests' sender and ledger (Requests.h), the judge
// (Judge.h, Duties.h), uploads and periods (Uploads.h, RealTime.h, Periods.h), problems and the
// summary (Problems.h, Summary.h). It cuts the station's bytes into frames and routes each to the
// rooms; the caller feeds it bytes and time, and writes what it asks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Duties.h"
#include "Flows2025.h"
#include "Judge.h"
#include "Outbox.h"
#include "Periods.h"
#include "Problems.h"
#include "RealTime.h"
#include "Report.h"
#include "Requests.h"
#include "Scenario.h"
#include "ScenarioRun.h"
#include "Summary.h"
#include "tools/common/Codes.h"
#include "tools/common/FrameCipher.h"
#include "tools/common/Hj212Text.h"

namespace sim {

class Platform {
public:
  using Out = Outbox::Out;
  using Log = std::function<void(const std::string&)>;

  // `log` gets each line with the station's text in it made safe (text_safe, TextSafe.h).
  Platform(std::vector<Step> steps, PlatformOptions options, Log log);

  void connected(int64_t now, const std::string& peer);
  // `closed_here`: why this end closed the link, named in the summary; empty: the station closed it.
  // `silent`: no frame came over it, so the requests it took go again over the next connection.
  void disconnected(int64_t now, const std::string& closed_here = std::string(), bool silent = false);
  void received(const char* data, size_t n, int64_t now);
  // Advances the scenario and the deadlines.
  void tick(int64_t now);
  // Writes whose time has come, in order.
  std::vector<Out> take_due(int64_t now) { return m_out.take_due(now); }
  // The next moment after `now` tick() or take_due() has something to do (or -1: nothing planned).
  int64_t next_event(int64_t now) const;
  bool finished() const { return m_finished; }
  // The run ends, finished or not (Ctrl-C, --duration, a web view held open): what is judged over
  // the whole run is judged now, so resends that came after the scenario still fill their gaps.
  void stopped() {
    m_requests.give_up_unheard();
    m_duties->stopped();
    m_periods.judge();
    if (m_opt.judge_duties && m_link.connections) m_duties->finish(m_opt.left_out);
  }
  bool link_wanted() const { return m_connected; }
  // --drop-link: the platform takes no connection now.
  bool refusing(int64_t now) const;
  // The key in force: --key, then each new one once the station took it (--key-log follows it).
  const std::string& key() const { return m_opt.key; }

  // Figures.
  bool broken() const { return summary_room().broken(); }
  // "OK", "BROKEN (N problems)" or "NO STATION": the summary's verdict and the report's.
  std::string verdict() const { return summary_room().verdict(); }
  // The summary as it goes out: station text in it as text_safe (TextSafe.h) makes it.
  std::string summary() const;
  // The acceptance report (--report, --report-junit): each check with its evidence; `css` the page's look.
  std::string report_html(std::string_view css) const { return m_report.html(summary_room().report_header(), css); }
  std::string report_junit() const { return m_report.junit(summary_room().report_header()); }
  const Report& report() const { return m_report; }
  unsigned frames_in() const { return m_link.frames_in; }
  unsigned connections() const { return m_link.connections; }
  unsigned bad_frames() const { return m_link.bad_frames; }
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
  // The link (Platform.cpp): bytes in, frames cut and read and routed to the rooms.
  // `taken`: the plug-in's scanner took it as it stands (HJ::SpanKind::Frame).
  void on_frame(std::string_view frame, int64_t now, bool taken);
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
  // A data frame: the answer to a request, a history record, a resend or an upload,
  // counted per CN, real-time ones to RealTime, period data to Periods; answered when it asks.
  // `datatime`: the record's DataTime (of its first packet when it came in packets)
  void on_data(const Segment& seg, const std::string& datatime, bool whole, int64_t now);
  void upload_fields(const Segment& seg, const std::string& cn, const std::string& qn, const std::string& datatime, bool fresh, bool answer);
  // The summary room over the figures as they stand.
  Summary summary_room() const;
  void problem(const std::string& what, const std::string& cause = std::string()) { m_problems.problem(what, cause); }
  void note(const std::string& what) { m_problems.note(what); }

  PlatformOptions m_opt;
  Log m_log;
  // The plug-in's scanner cuts the station's bytes, with the platform's key: its frames and the
  // spans it rejects are read as frames (bad ones named), the rest is junk.
  StreamSpans m_spans;
  bool m_connected = false;
  int64_t m_first_connect = -1;
  bool m_finished = false;
  std::unique_ptr<Flows2025> m_flows; // --standard 2025 with a key
  std::unique_ptr<StationDuties> m_duties;
  enum class LinkDrop { Planned, Down, Done } m_drop = LinkDrop::Planned;
  int64_t m_drop_started = 0;
  LinkFigures m_link;
  PlatformObserver* m_observer = nullptr;
  std::string m_link_mn;                      // the MN of the connection's first frame
  std::string m_packet_qn, m_packet_datatime; // the DataTime of an upload that comes in packets, from its first
  codes::ValueStats m_values;                 // per factor: values and the code tables' notes

  // The rooms.
  Report m_report;
  Problems m_problems{m_log, m_report};
  Outbox m_out;
  UploadTally m_tally;
  // The judge: what a platform accepts of a frame and of an answer beyond reading it. Rules over
  // a connection as a whole: StationDuties.
  FrameJudge m_judge{m_opt, m_report, m_problems};
  RequestJudge m_request_judge{m_report, m_problems};
  Periods m_periods{m_opt, m_problems};
  Requests m_requests{m_opt, m_problems};
  RealTime m_real_time{m_opt, m_problems, m_tally};
  RequestSender m_sender{{m_opt, m_requests, m_out, m_report, m_problems, m_request_judge, m_real_time, m_flows, m_observer, m_log, m_opt.pw}};
  ScenarioRun m_scenario;
};

} // namespace sim
