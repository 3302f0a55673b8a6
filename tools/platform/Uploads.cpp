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
        m_real_time.upload(qn, now);
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
    m_request_judge.acceptance(*p, "answered with data");
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
