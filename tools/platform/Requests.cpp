// Requests to the station: sent (spoilt as a step says), paired with the 9011, 9012 and data
// answering them by QN, their deadlines, and their effects on the uploads that follow.
#include "Requests.h"

#include <cstdio>
#include <cstdlib>

#include "Flows2025.h"
#include "Judge.h"
#include "Outbox.h"
#include "Periods.h"
#include "RealTime.h"
#include "Report.h"
#include "hj212/Envelope.h"
#include "tools/common/Calendar.h"
#include "tools/common/Codes.h"

namespace sim {

namespace {

const char* const kJunk = "AT+NOISE\r\n"; // modem noise; never ends in '#', which would glue onto "##"
const int kSplitGapMs = 60;               // longer than the plug-in's 40 ms read wait: separate reads

// A history request's CP time (BeginTime, EndTime): its seconds, -1 when absent or unreadable.
int64_t cp_time(const Segment& cp, const char* key, std::string& text) {
  const std::string* v = cp.cp_get(key);
  text = v ? *v : std::string();
  int64_t s = 0;
  return v && civil_seconds(*v, s) ? s : -1;
}

// The wrong CRC or length field a corrupt request carries.
void spoil(const Misbehaviour& bad, std::string& f) {
  if (bad.bad_crc) {
    char& last = f[f.size() - 3];
    last = last == '0' ? '1' : '0';
  }
  if (bad.bad_length) {
    char len[16];
    std::snprintf(len, sizeof len, "%04zu", f.size() - HJ::kEnvelopeBytes + 1);
    f.replace(HJ::kLengthFieldAt, HJ::kDataAt - HJ::kLengthFieldAt, len);
  }
}

// A request's misbehaviour as its log line shows it, each mark after a space; `cipher`: the form
// it went out encrypted in, or null.
std::string request_marks(const Misbehaviour& bad, const char* cipher) {
  std::string marks;
  if (bad.junk) marks += " junk";
  if (bad.split) marks += " split";
  if (bad.delay_ms) marks += " delay=" + std::to_string(bad.delay_ms);
  if (bad.bad_crc) marks += " bad-crc";
  if (bad.bad_length) marks += " bad-length";
  if (cipher) marks += std::string(" encrypted (") + cipher + ")";
  return marks;
}

// An interval of 0 or less in a request's CP ("RtdInterval=0"), which a station must refuse; empty when none.
std::string invalid_value(const Segment& seg) {
  for (const auto& kv : seg.cp_fields) {
    const std::string& key = kv.first;
    const char* const suffix = "Interval";
    if (key.size() < 8 || key.compare(key.size() - 8, 8, suffix) != 0 || kv.second.empty()) continue;
    char* end = nullptr;
    double v = std::strtod(kv.second.c_str(), &end);
    if (*end == '\0' && v <= 0) return key + "=" + kv.second;
  }
  return std::string();
}

// The rule a request's exchange is held to, as the report words it.
std::string exchange_rule(const Step& s, bool history, bool invalid, bool notice, int timeout_ms) {
  const std::string within = " within " + std::to_string(timeout_ms) + " ms";
  if (s.bad.bad_crc || s.bad.bad_length) return "a corrupt request (wrong CRC or length) goes unanswered";
  if (s.reply == Step::None) return "the request goes unanswered, as its step says";
  if (notice && !invalid && s.expect != Step::Refused) return "carried out: a notice, answered 9013" + within;
  if (invalid || s.expect == Step::Refused) return "refused: a 9011 with QnRtn other than 1, or a 9012 with ExeRtn other than 1 and 100," + within;
  const std::string carried = s.expect == Step::Either ? "answered, carried out or refused: " : "carried out: ";
  if (history) return carried + "9011 QnRtn=1, the records asked for, then 9012 ExeRtn=1 (100: no data), in that order," + within;
  if (s.reply == Step::Ack) return carried + "9011 QnRtn=1" + within;
  return carried + "9011 QnRtn=1, then the data asked for or 9012 ExeRtn=1, in that order," + within;
}

// What the judge weighs of a request.
RequestTerms terms_of(const Request& p) {
  RequestTerms r;
  r.qn = p.qn;
  r.cn = p.cn;
  r.invalid = p.invalid;
  r.wants_carried_out = p.expect == Step::Accepted;
  r.wants_refused = p.expect == Step::Refused;
  return r;
}

} // namespace

std::string Requests::next_qn() {
  std::string qn = qn_text();
  if (qn <= m_last_qn) { // same millisecond: count on from the last one, QNs stay unique
    qn = m_last_qn;
    for (size_t i = qn.size(); i-- > 0;) {
      if (qn[i] < '9') {
        ++qn[i];
        break;
      }
      qn[i] = '0';
    }
  }
  m_last_qn = qn;
  return qn;
}

Request* Requests::find(const std::string& qn) {
  for (Request& p : m_all)
    if (!qn.empty() && p.qn == qn) return &p;
  return nullptr;
}

// A record of the newest period (real-time data: of the last two minutes) as of the frame's QN.
bool Requests::newest_record(const Segment& seg, const std::string& datatime) const {
  int64_t t = 0, sent = 0;
  auto period = m_opt.periods.find(seg.value("CN"));
  const int64_t newest = period != m_opt.periods.end() ? 2 * static_cast<int64_t>(period->second) : 120;
  return civil_seconds(datatime, t) && qn_time_ms(seg.value("QN"), sent) && (t + newest) * 1000 >= sent;
}

Request* Requests::history_request(const Segment& seg, const std::string& datatime) {
  const std::string cn = seg.value("CN");
  if (Request* p = find(seg.value("QN"))) {
    if (!p->history) return nullptr;
    // both ends stamp QNs from the clock to the millisecond: the newest record of another CN, or
    // one that comes before the 9011, is an upload whose QN met the request's by chance
    if ((cn != p->cn || !p->acked) && newest_record(seg, datatime)) return nullptr;
    return p; // records after its 9012 are still its answer's
  }
  for (Request& q : m_all) {
    if (!q.history || q.done || !q.acked || q.cn != cn) continue;
    // an upload of the newest period that comes meanwhile is none of the answer's records
    int64_t t = 0;
    const bool asked = civil_seconds(datatime, t) && (q.begin_s < 0 || q.end_s < 0 || (t >= q.begin_s && t <= q.end_s));
    if (!asked && newest_record(seg, datatime)) return nullptr;
    return &q;
  }
  return nullptr;
}

void Requests::history_record(Request& p, const std::string& cn, const std::string& datatime) {
  const std::string head = "history answer to CN=" + p.cn + " QN=" + p.qn + ": ";
  int64_t t = 0;
  if (p.done) m_problems.problem(head + "record DataTime=" + datatime + " after the 9012 that ended the answer"); // 9011, records, 9012
  else if (cn != p.cn) m_problems.problem(head + "answered with CN=" + cn);
  else if (!civil_seconds(datatime, t))
    m_problems.problem(head + "a record without a readable DataTime (" + (datatime.empty() ? "none" : datatime) + ")");
  else if (p.begin_s >= 0 && p.end_s >= 0 && (t < p.begin_s || t > p.end_s))
    m_problems.problem(head + "record DataTime=" + datatime + " outside the asked range " + p.begin_text + ".." + p.end_text);
  else if (p.record_times.count(datatime)) m_problems.problem(head + "record DataTime=" + datatime + " sent twice");
  else if (p.record_times.size() < Periods::kKept) p.record_times.insert(datatime); // a bound against a station that never stops
}

void Requests::link_lost() {
  for (Request& p : m_all) {
    if (p.done) continue;
    p.done = true;
    if (p.corrupt || p.reply == Step::None) continue; // silence was all they wanted
    ++m_counts.missing;
    m_problems.problem("request CN=" + p.cn + " QN=" + p.qn + " unanswered: the link went down " +
                       (!p.acked    ? "before its 9011"
                        : p.history ? "inside its answer, after the 9011 and before the 9012"
                                    : "after its 9011, before its 9012"));
  }
}

bool Requests::pending() const {
  for (const Request& p : m_all)
    if (!p.done) return true;
  return false;
}

int64_t Requests::next_deadline(int64_t now) const {
  int64_t t = -1;
  for (const Request& p : m_all)
    if (!p.done && p.deadline > now && (t < 0 || p.deadline < t)) t = p.deadline;
  return t;
}

void Requests::hold_unheard() {
  for (Request& p : m_all) {
    if (p.done || p.acked) continue;
    p.unheard = true;
    p.deadline = INT64_MAX;
  }
}

void RequestSender::resend_unheard(int64_t now) {
  for (Request& p : m_parts.ledger.all()) {
    if (!p.unheard || p.done) continue;
    p.unheard = false;
    p.sent_at = queue_pieces(p.wire, p.bad, now);
    p.deadline = p.sent_at + p.timeout_ms;
    ++m_frames_out;
    m_parts.log("   QN " + p.qn + " (CN=" + p.cn + ") sent again: the link it went out on never spoke");
  }
}

void Requests::give_up_unheard() {
  for (Request& p : m_all) {
    if (!p.unheard || p.done) continue;
    p.done = true;
    if (p.corrupt || p.reply == Step::None) continue;
    ++m_counts.missing;
    m_problems.problem("request CN=" + p.cn + " QN=" + p.qn + " unanswered: no connection spoke after the silent one it went out on");
  }
}

void RequestSender::expire(int64_t now) {
  for (Request& p : m_parts.ledger.all()) {
    if (p.done || now < p.deadline) continue;
    p.done = true;
    if (p.corrupt || p.reply == Step::None) {
      if (!p.acked) m_parts.log("   QN " + p.qn + " went unanswered, as it should");
      continue;
    }
    ++m_parts.ledger.counts().missing;
    if (p.acked && p.history) m_parts.problems.problem("no 9012 for request CN=" + p.cn + " QN=" + p.qn + ": the execution result is missing");
    else if (p.data_seen) m_parts.problems.problem("no 9012 after the data for request CN=" + p.cn + " QN=" + p.qn, "no 9012 after a request's data");
    else if (p.notice && !p.acked) m_parts.problems.problem("no 9013 for notice CN=" + p.cn + " QN=" + p.qn);
    else m_parts.problems.problem(std::string(p.acked ? "no 9012 or data after the 9011" : "no 9011") + " for request CN=" + p.cn + " QN=" + p.qn);
  }
}

void RequestSender::on_ack(const Segment& seg, const std::string& qn, int64_t now) {
  Request* p = m_parts.ledger.find(qn);
  if (!p) {
    if (m_parts.flows && m_parts.flows->answer_to_key_answer(qn, "9011")) return;
    ++m_parts.ledger.counts().unexpected;
    m_parts.problems.problem("9011 for QN " + qn + ", which no request carried");
    return;
  }
  if (p->corrupt) {
    ++m_parts.ledger.counts().unexpected;
    p->done = true;
    m_parts.problems.problem("the station answered the corrupt request QN " + qn);
    return;
  }
  if (p->acked) {
    ++m_parts.ledger.counts().unexpected;
    m_parts.problems.problem("a second 9011 for QN " + qn);
    return;
  }
  if (p->data_seen) m_parts.problems.problem("the 9011 for request CN=" + p->cn + " QN=" + qn + " came after its data", "a 9011 after the data");
  if (p->notice)
    m_parts.problems.note("notice CN=" + p->cn + " QN=" + qn + " answered as a request (9011, 9012): the standard answers a notice 9013");
  const int version = HJ::flag_version(seg.flag);
  if (p->flag_version >= 0 && version >= 0 && version != p->flag_version)
    m_parts.problems.note("request CN=" + p->cn + " QN=" + qn + " went out in Flag version " + std::to_string(p->flag_version) +
                          ", the station answered in its own, " + std::to_string(version));
  const bool ended = p->done; // its data ended it before this 9011
  p->acked = true;
  const std::string* rtn = seg.cp_get("QnRtn");
  p->qn_rtn = rtn ? *rtn : "";
  m_parts.ledger.counts().ack_ms.push_back(now - p->sent_at);
  if (ended) return;
  if (p->reply != Step::None && RequestJudge::refusal_code("QnRtn", p->qn_rtn)) refused(*p, "QnRtn", p->qn_rtn);
  // a history request taken on ends with its 9012 whatever the step wants: the records alone leave its outcome open
  bool more = p->reply != Step::None && p->qn_rtn == "1" && (p->reply == Step::Full || p->history);
  if (!more) { // refused or only acknowledged: nothing more comes
    if (p->reply == Step::None) {
      ++m_parts.ledger.counts().unexpected;
      m_parts.problems.problem("the station answered QN " + qn + ", which wants no answer");
    } else {
      ++m_parts.ledger.counts().answered;
      if (p->qn_rtn == "1") took_effect(*p, now); // the 9011 is all the step awaits
    }
    p->done = true;
    if (m_parts.flows) m_parts.flows->request_done(p->qn, p->qn_rtn, "");
  }
}

void RequestSender::on_result(const Segment& seg, const std::string& qn, int64_t now) {
  Request* p = m_parts.ledger.find(qn);
  if (!p) {
    if (m_parts.flows && m_parts.flows->answer_to_key_answer(qn, "9012")) return;
    ++m_parts.ledger.counts().unexpected;
    m_parts.problems.problem("9012 for QN " + qn + ", which no request carried");
    return;
  }
  if (!p->acked) m_parts.problems.problem("9012 before 9011 for QN " + qn);
  else if (p->resulted) m_parts.problems.problem("a second 9012 for QN " + qn);
  const std::string* rtn = seg.cp_get("ExeRtn");
  p->exe_rtn = rtn ? *rtn : "";
  p->resulted = true;
  if (!p->corrupt && p->reply != Step::None) {
    if (RequestJudge::refusal_code("ExeRtn", p->exe_rtn)) refused(*p, "ExeRtn", p->exe_rtn);
    else {
      accepted(*p, "ExeRtn=" + p->exe_rtn);
      took_effect(*p, now);
    }
  }
  if (!p->done) {
    p->done = true;
    ++m_parts.ledger.counts().answered;
    m_parts.ledger.counts().final_ms.push_back(now - p->sent_at);
    if (m_parts.flows) m_parts.flows->request_done(p->qn, p->qn_rtn, p->exe_rtn);
  }
}

void RequestSender::on_notice_answer(const std::string& qn, int64_t now) {
  Request* p = m_parts.ledger.find(qn);
  if (!p || !p->notice || p->corrupt || p->reply == Step::None) {
    ++m_parts.ledger.counts().unexpected;
    m_parts.problems.problem(!p          ? "9013 for QN " + qn + ", which no request carried"
                             : p->notice ? "the station answered QN " + qn + ", which wants no answer"
                                         : "9013 for request CN=" + p->cn + " QN=" + qn + ": a request is answered 9011, then 9012",
                             "a 9013 that answers no notice");
    if (p) p->done = true;
    return;
  }
  if (p->done || p->acked) {
    ++m_parts.ledger.counts().unexpected;
    m_parts.problems.problem("a second answer (9013) to notice CN=" + p->cn + " QN=" + qn);
    return;
  }
  p->done = true;
  ++m_parts.ledger.counts().answered;
  m_parts.ledger.counts().ack_ms.push_back(now - p->sent_at);
  m_parts.ledger.counts().final_ms.push_back(now - p->sent_at);
  accepted(*p, "9013");
  took_effect(*p, now);
}

bool RequestSender::on_request_data(Request& p, const Segment& seg) {
  const std::string cn = seg.value("CN");
  const std::string* read = cn == "1063" ? seg.cp_get("MinInterval") : nullptr;
  if (read && !m_min_interval.empty() && to_int(*read, -1) != to_int(m_min_interval, -2))
    m_parts.problems.problem("the minute interval read (1063) is MinInterval=" + *read + ", the one set (1064) MinInterval=" + m_min_interval,
                             "the minute interval read is not the one set");
  if (!p.acked && !p.done) m_parts.problems.problem("data for request CN=" + p.cn + " QN=" + p.qn + " came before its 9011", "data before the 9011");
  if (p.done && p.resulted && codes::request_has_data(cn) && !codes::request_starts_uploads(cn))
    m_parts.problems.problem("data for request CN=" + p.cn + " QN=" + p.qn + " came after its 9012", "data after the 9012");
  p.data_seen = true;
  // a request that starts uploads has no 9012; one that reads a value ends with the 9012 after it
  return codes::request_starts_uploads(cn) || !codes::request_has_data(cn);
}

// Weighed once; the 2025 key and MN flows weigh their own requests by their own rules (Flows2025).
bool RequestSender::first_word(Request& p) {
  if (p.judged) return false;
  p.judged = true;
  return !(m_parts.flows && m_parts.flows->judges(p.qn));
}

void RequestSender::refused(Request& p, const char* field, const std::string& code) {
  if (first_word(p)) m_parts.judge.refusal(terms_of(p), field, code);
}

void RequestSender::accepted(Request& p, const std::string& how) {
  if (first_word(p)) m_parts.judge.acceptance(terms_of(p), how);
}

void RequestSender::took_effect(const Request& p, int64_t now) {
  if (!p.min_interval.empty()) m_min_interval = p.min_interval;
  if (!p.new_pw.empty()) {
    m_parts.station_pw = p.new_pw; // the old PW is refused from now on: the requests after this carry the new
    m_parts.log("   the station took a new PW (1072): the requests after this carry it");
  }
  m_parts.report.effect(p.qn, p.cn, p.rtd_interval, now);
  m_parts.real_time.took_effect(p.cn, p.rtd_interval, now);
}

// A request carried on (acknowledged, its data wanted) that data of `cn` answer, or null.
Request* Requests::awaiting_data(const std::string& cn) {
  for (Request& q : m_all)
    if (!q.done && q.acked && !q.history && q.reply == Step::Full && q.cn == cn) return &q;
  return nullptr;
}

void RequestSender::send(const Step& s, int64_t now) {
  std::string qn = m_parts.ledger.next_qn();
  std::string cp = s.cp.empty() && m_parts.flows ? m_parts.flows->request_cp(s.cn) : s.cp;
  if (m_parts.flows) m_parts.flows->request_sent(qn, s.cn, cp);
  std::string seg = "QN=" + qn + ";ST=" + (s.st.empty() ? m_parts.opt.st : s.st) + ";CN=" + s.cn +
                    ";PW=" + (s.pw.empty() ? m_parts.station_pw : s.pw) + ";MN=" + (s.mn.empty() ? m_parts.opt.mn : s.mn) +
                    ";Flag=" + (s.flag.empty() ? m_parts.opt.flag : s.flag) + ";CP=&&" + cp + "&&";
  // Charset by the request's Flag: the plug-in's own decision of the wire bytes.
  // With the key, a CN 2000-2999 request's region encrypted as the station's "Send" does it.
  HJ::WireData wire = encrypted_wire_data(seg, m_parts.opt.key, m_parts.opt.key.empty() ? CipherWire::Plain : m_parts.opt.cipher_form);
  std::string frame = wire.frame();
  const std::string plain_frame = wire.frame_around(wire.bytes);
  bool encrypted = wire.encrypted && frame != plain_frame; // a region shorter than a block stays plain
  if (encrypted) ++m_encrypted_out;
  spoil(s.bad, frame);
  if (m_parts.observer) { // an encrypted request shown as the station reads it once decrypted
    std::string shown = encrypted ? plain_frame : frame;
    if (encrypted) spoil(s.bad, shown);
    m_parts.observer->frame(false, shown, check_frame(shown).verdict);
  }
  int64_t at = queue_pieces(frame, s.bad, now);
  ++m_frames_out;
  bool corrupt = s.bad.bad_crc || s.bad.bad_length;
  if (!corrupt) ++m_parts.ledger.counts().sent;
  int timeout = corrupt || s.reply == Step::None ? m_parts.opt.silence_ms : (s.timeout_ms ? s.timeout_ms : m_parts.opt.reply_timeout_ms);
  Request pending;
  pending.qn = qn;
  pending.cn = s.cn;
  pending.reply = s.reply;
  pending.expect = s.expect;
  const Segment asked = parse_segment("CP=&&" + cp + "&&");
  pending.invalid = invalid_value(asked);
  pending.history = asked.cp_get("BeginTime") != nullptr;
  pending.notice = codes::command_type(s.cn, false) == codes::CommandType::Notice;
  pending.flag_version = HJ::flag_version(to_int(s.flag.empty() ? m_parts.opt.flag : s.flag, -1));
  pending.begin_s = cp_time(asked, "BeginTime", pending.begin_text);
  pending.end_s = cp_time(asked, "EndTime", pending.end_text);
  const std::string* rtd = s.cn == "1062" ? asked.cp_get("RtdInterval") : nullptr;
  const std::string* minutes = s.cn == "1064" ? asked.cp_get("MinInterval") : nullptr;
  const std::string* pw = s.cn == "1072" ? asked.cp_get("NewPW") : nullptr;
  pending.min_interval = minutes ? *minutes : "";
  pending.new_pw = pw ? *pw : "";
  pending.rtd_interval = rtd ? to_int(*rtd, 0) : 0;
  pending.corrupt = corrupt;
  pending.sent_at = at;
  pending.deadline = at + timeout;
  pending.wire = frame;
  pending.bad = s.bad;
  pending.timeout_ms = timeout;
  m_parts.ledger.all().push_back(pending);
  m_parts.report.request(qn, s.cn, exchange_rule(s, pending.history, !pending.invalid.empty(), pending.notice, timeout), plain_frame, at,
                         !pending.invalid.empty(), pending.history);
  std::string marks = request_marks(s.bad, encrypted ? cipher_wire_text(m_parts.opt.cipher_form) : nullptr);
  m_parts.log("-> request CN=" + s.cn + " QN=" + qn + (marks.empty() ? "" : " [" + marks.substr(1) + "]") + " " + describe_frame(plain_frame));
}

void RequestSender::send_flow_request(const std::string& frame, const std::string& qn, const std::string& cn, int64_t now) {
  m_parts.out.queue(frame, now + m_parts.opt.answer_delay_ms);
  if (m_parts.observer) m_parts.observer->frame(false, frame, Verdict::Ok);
  ++m_frames_out;
  ++m_parts.ledger.counts().sent;
  Request pending;
  pending.qn = qn;
  pending.cn = cn;
  pending.sent_at = now;
  pending.deadline = now + m_parts.opt.answer_delay_ms + m_parts.opt.reply_timeout_ms;
  m_parts.ledger.all().insert(m_parts.ledger.all().begin(), pending); // a request step's own stays the last
  m_parts.report.request(qn, pending.cn, "carried out: 9011 QnRtn=1, then 9012 ExeRtn=1", frame, now);
  m_parts.log("-> request CN=" + pending.cn + " QN=" + qn + " " + describe_frame(frame));
}

int64_t RequestSender::queue_pieces(const std::string& frame, const Misbehaviour& bad, int64_t now) {
  std::string bytes = (bad.junk ? std::string(kJunk) : std::string()) + frame;
  size_t offset = bad.junk ? std::string(kJunk).size() : 0;
  std::vector<size_t> cuts;
  if (bad.split) cuts = {offset + 7, offset + frame.size() / 2};
  else if (bad.delay_ms > 0) cuts = {offset + frame.size() / 2};
  int gap = bad.delay_ms > 0 ? bad.delay_ms : kSplitGapMs;
  int64_t at = now;
  size_t from = 0;
  for (size_t cut : cuts) {
    m_parts.out.queue(bytes.substr(from, cut - from), at);
    from = cut;
    at += gap;
  }
  m_parts.out.queue(bytes.substr(from), at);
  return at;
}

} // namespace sim
