#include "Periods.h"

#include <ctime>

#include "tools/common/Calendar.h"

namespace sim {

void Periods::record(const std::string& cn, const std::string& qn, const std::string& datatime, bool resend) {
  auto period = m_opt.periods.find(cn);
  if (period == m_opt.periods.end()) return;
  const int64_t s = period->second;
  Data& d = m_data[cn];
  int64_t t = 0;
  if (!civil_seconds(datatime, t)) return; // a fault of every upload's (Platform::upload_fields)
  if (!resend) {
    ++d.records;
    check_stamp(cn, qn, datatime, t, d);
  }
  d.times[t] = qn;
  if (d.times.size() > kKept) { // the oldest folded into the count of missing periods
    const int64_t oldest = d.times.begin()->first;
    d.times.erase(d.times.begin());
    const int64_t gap = (d.times.begin()->first - oldest) / s - 1;
    if (gap > 0) d.folded_missing += gap;
  }
}

void Periods::check_stamp(const std::string& cn, const std::string& qn, const std::string& datatime, int64_t t, const Data& d) const {
  const int64_t s = m_opt.periods.at(cn);
  int64_t sent_ms = 0;
  if (!qn_time_ms(qn, sent_ms)) sent_ms = 1000 * local_now_s(m_opt); // the platform's clock stands in for the station's
  if ((t % s + s) % s != 0)
    m_problems.problem("CN=" + cn + " upload QN " + qn + ": DataTime=" + datatime + " is not on a boundary of its " + std::to_string(s) +
                       " s period");
  else if ((t + s) * 1000 > sent_ms + 1000)
    m_problems.problem("CN=" + cn + " upload QN " + qn + ": DataTime=" + datatime + " stamped with its period's end: the " + std::to_string(s) +
                       " s period from it ends at " + civil_text(t + s) + ", after the frame was sent");
  auto before = d.times.find(t);
  // the same upload again is "uploaded again" (Platform::upload_fields, the 2025 flows): one fault, told once
  if (before != d.times.end() && before->second != qn)
    m_problems.problem("CN=" + cn + " upload QN " + qn + ": DataTime=" + datatime + " came before: one record per period");
}

int64_t Periods::missing(const std::string& cn, const Data& d, int64_t* first_gap) const {
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

int64_t Periods::unsent(const std::string& cn) const {
  auto period = m_opt.periods.find(cn);
  if (period == m_opt.periods.end() || m_start_local_s < 0) return 0;
  const int64_t s = period->second;
  // a period counts once it is over and the station had a cycle and the link's way to send it
  const int64_t grace = 2, end = m_end_local_s >= 0 ? m_end_local_s : local_now_s(m_opt);
  const int64_t first = (m_start_local_s + s - 1) / s * s; // the first period wholly inside the run
  auto d = m_data.find(cn);
  int64_t unsent = 0;
  for (int64_t b = first; b + s + grace <= end; b += s) {
    if (d != m_data.end() && !d->second.times.empty() && b >= d->second.times.begin()->first && b <= d->second.times.rbegin()->first)
      b = d->second.times.rbegin()->first; // between its records the gaps count them
    else if (d == m_data.end() || !d->second.times.count(b)) ++unsent;
    if (unsent > static_cast<int64_t>(kKept)) break; // a bound on a run of days at 1 s periods
  }
  return unsent;
}

void Periods::judge() {
  if (m_judged) return;
  m_judged = true;
  m_end_local_s = local_now_s(m_opt);
  for (const auto& c : m_data) {
    int64_t gap_at = -1;
    const int64_t gaps = missing(c.first, c.second, &gap_at);
    if (gaps > 0)
      m_problems.problem("CN=" + c.first + ": " + std::to_string(gaps) + " periods of " + std::to_string(m_opt.periods.at(c.first)) +
                         " s missing between its records" + (gap_at >= 0 ? " (the first after DataTime=" + civil_text(gap_at) + ")" : ""));
  }
  for (const auto& p : m_opt.periods) {
    const int64_t count = unsent(p.first);
    if (count <= 0) continue;
    auto d = m_data.find(p.first);
    const bool none = d == m_data.end() || d->second.times.empty();
    m_problems.problem(
        "CN=" + p.first + ": " + std::to_string(count) + " whole periods of " + std::to_string(p.second) + " s in the run " +
            (none ? "and not one record: the station never sent this period data" : "without a record, before its first or after its last"),
        "CN=" + p.first + " period data not sent");
  }
}

std::string Periods::summary() const {
  std::string periods;
  for (const auto& p : m_opt.periods) {
    auto c = m_data.find(p.first);
    const unsigned records = c != m_data.end() ? c->second.records : 0;
    const int64_t not_sent = m_judged ? unsent(p.first) : 0;
    if (!records && !not_sent) continue;
    periods += (periods.empty() ? "CN=" : "; CN=") + p.first + " x" + std::to_string(records) + " (" + std::to_string(p.second) + " s), " +
               std::to_string(c != m_data.end() ? missing(p.first, c->second, nullptr) : 0) + " missing" +
               (not_sent ? ", " + std::to_string(not_sent) + " not sent" : "");
  }
  return periods;
}

int64_t Periods::uploads_timeout_ms(const std::string& cn, int count) const {
  auto period = m_opt.periods.find(cn);
  if (period == m_opt.periods.end()) return 2 * m_opt.reply_timeout_ms;
  return 1000LL * period->second * (count + 1) + m_opt.reply_timeout_ms;
}

} // namespace sim
