#include "RealTime.h"

#include <cstdio>

#include "tools/common/Calendar.h"

namespace sim {

void RealTime::fold() {
  Arrivals& run = m_effects.since_set;
  if (run.count >= 2) m_effects.folded_ms += run.last - run.first, m_effects.folded_gaps += run.count - 1;
  run = Arrivals();
}

int64_t RealTime::interval_ms() const {
  if (m_effects.rtd_s > 0) return 1000LL * m_effects.rtd_s;
  const Arrivals* all = m_uploads.arrivals("2011");
  if (all && all->count >= 2) return (all->last - all->first) / (all->count - 1);
  return m_opt.reply_timeout_ms;
}

void RealTime::upload(const std::string& qn, int64_t now) {
  int64_t made = 0;
  const bool stamped = qn_time_ms(qn, made);
  // made on the station's clock after its answer to the 2012 arrived: no upload already on its way
  if (m_effects.stopped_at >= 0 && stamped && m_clock.known && made - m_clock.ahead_ms > m_effects.stopped_at + kClockSlackMs) {
    m_problems.problem("kept uploading CN=2011 after 2012 stopped it: QN " + qn + " was made " +
                           std::to_string(made - m_clock.ahead_ms - m_effects.stopped_at) + " ms after the acknowledgement arrived",
                       "kept uploading CN=2011 after 2012 stopped it");
    m_effects.stopped_at = -1;
  }
  // the station's clock against the platform's: the least transit shows the most of it
  if (stamped && (!m_clock.known || made - now > m_clock.ahead_ms)) m_clock = {true, made - now};
  if (m_effects.stopped_at >= 0 && now - m_effects.stopped_at > interval_ms()) {
    m_problems.problem("kept uploading CN=2011 after 2012 stopped it: QN " + qn + " came " + std::to_string(now - m_effects.stopped_at) +
                           " ms after the acknowledgement",
                       "kept uploading CN=2011 after 2012 stopped it");
    m_effects.stopped_at = -1; // once per stop, not once per upload
  }
  if (m_effects.rtd_s <= 0) return;
  Arrivals& a = m_effects.since_set;
  if (a.count++ == 0) a.first = now;
  a.last = now;
}

bool RealTime::judge(bool gave_up) {
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
  m_problems.problem("RtdInterval set to " + std::to_string(e.rtd_s) + " s, uploads came every " + every + " s");
  return true;
}

void RealTime::took_effect(const std::string& cn, int rtd_interval, int64_t now) {
  if (cn == "2012") m_effects.stopped_at = now;
  else if (cn == "2011") m_effects.stopped_at = -1;
  if (cn == "2012" || cn == "2011") fold(); // the time stopped is no interval
  if (rtd_interval <= 0) return;
  judge(false); // the setting before, on the uploads it had
  const Arrivals* so_far = m_uploads.arrivals("2011");
  m_effects.rtd_s = rtd_interval;
  m_effects.since_set = Arrivals();
  m_effects.before_ms = so_far && so_far->count >= 2 ? static_cast<double>(so_far->last - so_far->first) / (so_far->count - 1) : 0;
  m_effects.judged = false;
}

} // namespace sim
