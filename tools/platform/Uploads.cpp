// The station's uploads: real-time data and their interval, period data (minute, hourly, daily)
// and the periods they leave out, history answers and resends kept apart.
#include "Platform.h"

#include <cstdio>

#include "Calendar.h"
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
    if (p && (p->cn != cn || p->history) && p != history) p = nullptr; // an upload whose QN met a request's
    if (!p && !history) p = m_requests.awaiting_data(cn);
    if (history) {
      p = history;
      m_tally.history(cn);
      m_report.history_record(history->qn);
      m_requests.history_record(*history, cn, datatime);
    } else if (seg.value("RF") == "1") {
      upload_fields(seg, cn, qn, datatime, false, false);
      m_tally.resend(cn);
      m_periods.record(cn, qn, datatime, true);
    } else { // the rate of uploads, which a backlog or a history would make look faster
      upload_fields(seg, cn, qn, datatime, true, p && !p->done && p->qn == qn);
      m_tally.upload(cn, now);
      if (!p) m_report.upload(cn, now); // not the data a request asked for
      if (cn == "2011") {
        if (p && !p->done && p->cn == "2011") m_desk.took_effect(*p, now); // its first upload answers a 2011: uploads start again
        m_real_time.upload(qn, now);
      }
      if (m_opt.periods.count(cn)) m_report.period_record(cn);
      m_periods.record(cn, qn, datatime, false);
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
    m_out.queue(answer_frame, now + m_opt.answer_delay_ms);
    if (m_observer) m_observer->frame(false, answer_frame, Verdict::Ok);
    ++m_link.answers_sent;
  }
}

// An upload's own fields, under every standard: its DataTime, and (without the 2025 flows, which tell
// a resend by its RF=1) a QN of its own. `fresh`: no resend; `answer`: the data a request asked for,
// under its QN, which later uploads must not take again.
void Platform::upload_fields(const Segment& seg, const std::string& cn, const std::string& qn, const std::string& datatime, bool fresh,
                             bool answer) {
  if (!data_cn(cn)) return;
  int64_t t = 0;
  if (!civil_seconds(datatime, t))
    problem("CN=" + cn + " upload QN " + qn + " has no readable DataTime (" + (datatime.empty() ? "none" : datatime) + ")",
            "an upload without a readable DataTime");
  if (fresh && !m_flows && m_tally.again(cn, qn, seg.value("PNO")) && !answer)
    problem("QN " + qn + " (CN=" + cn + ") uploaded again: DataTime=" + (datatime.empty() ? "none" : datatime) +
                ", a new upload carries a QN of its own",
            "an upload again");
}

bool UploadTally::again(const std::string& cn, const std::string& qn, const std::string& pno) {
  std::string key = cn + " " + qn + " " + pno;
  if (m_seen.count(key)) return true;
  m_seen.insert(key);
  m_order.push_back(std::move(key));
  if (m_order.size() > kRemembered) {
    m_seen.erase(m_order.front());
    m_order.pop_front();
  }
  return false;
}

void UploadTally::upload(const std::string& cn, int64_t now) {
  Arrivals& a = m_uploads[cn];
  if (a.count++ == 0) a.first = now;
  a.last = now;
}

unsigned UploadTally::count(const std::string& cn) const {
  const Arrivals* a = arrivals(cn);
  return a ? a->count : 0u;
}

const Arrivals* UploadTally::arrivals(const std::string& cn) const {
  auto it = m_uploads.find(cn);
  return it == m_uploads.end() ? nullptr : &it->second;
}

std::string UploadTally::uploads_text() const {
  std::string ups;
  for (const auto& u : m_uploads) {
    if (!ups.empty()) ups += "; ";
    ups += "CN=" + u.first + " x" + std::to_string(u.second.count);
    if (u.second.count >= 2) {
      char every[48];
      std::snprintf(every, sizeof every, " (every %.1f s)",
                    static_cast<double>(u.second.last - u.second.first) / 1000.0 / static_cast<double>(u.second.count - 1));
      ups += every;
    }
  }
  return ups.empty() ? std::string("none") : ups;
}

std::string UploadTally::counts_text(const std::map<std::string, unsigned>& counts) {
  std::string text;
  for (const auto& c : counts) text += (text.empty() ? "CN=" : "; CN=") + c.first + " x" + std::to_string(c.second);
  return text;
}

} // namespace sim
