// The station's uploads: real-time data and their interval, period data (minute, hourly, daily)
// and the periods they leave out, history answers and resends kept apart.
#include "Platform.h"

#include "Sm4.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "Calendar.h"
#include "Charset.h"
#include "CpCipher.h"
#include "Envelope.h"

namespace sim {

void Platform::fold_upload_run() {
  Arrivals& run = m_effects.since_set;
  if (run.count >= 2) m_effects.folded_ms += run.last - run.first, m_effects.folded_gaps += run.count - 1;
  run = Arrivals();
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

// data: the reply to a pending request of the same CN, or an upload (counted once whole when
// it came in packets)
void Platform::on_data(const Segment& seg, const std::string& datatime, bool whole, int64_t now) {
  std::string cn = seg.value("CN"), qn = seg.value("QN");
  Request* p = whole ? m_requests.find(qn) : nullptr;
  if (whole) {
    Request* history = m_requests.history_request(seg, datatime);
    if (p && p->cn != cn && p != history) p = nullptr;
    if (!p && !history) p = m_requests.awaiting_data(cn);
    if (history) {
      p = history;
      ++m_history[cn];
      m_report.history_record(history->qn);
      m_requests.history_record(*history, cn, datatime);
    } else if (seg.value("RF") == "1") {
      ++m_resent[cn];
      m_periods.record(cn, qn, datatime, true, m_flows != nullptr);
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
      m_periods.record(cn, qn, datatime, false, m_flows != nullptr);
    }
  }
  if (p && !p->done) {
    m_report.answer(p->qn);
    if (!p->history) { // a history request's records come before its 9012, which ends it
      p->done = true;
      ++m_requests.counts().answered;
      m_requests.counts().final_ms.push_back(now - p->sent_at);
    }
    judge_acceptance(*p, "answered with data");
  }
  if (seg.flag >= 0 && (seg.flag & 1)) { // the station asks for an answer
    std::string answer = "QN=" + qn + ";ST=91;CN=9014;PW=" + m_opt.pw + ";MN=" + seg.value("MN") +
                         (m_opt.standard == 2025 ? ";Flag=8" : ";Flag=4") + ";CP=&&&&";
    std::string answer_frame = HJ::wire_data(answer, HJ::kCharsetByFlag).frame();
    queue(answer_frame, now + m_opt.answer_delay_ms);
    if (m_observer) m_observer->frame(false, answer_frame, Verdict::Ok);
    ++m_answers_sent;
  }
}

unsigned Platform::uploads(const std::string& cn) const {
  auto it = m_uploads.find(cn);
  return it == m_uploads.end() ? 0u : it->second.count;
}

} // namespace sim
