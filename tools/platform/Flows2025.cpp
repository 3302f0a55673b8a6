#include "Flows2025.h"

#include <cstdio>
#include <random>

#include "Options.h"

namespace sim {

namespace {

// PNUM or PNO by value: digits only, leading zeros allowed (PNO=00001 is packet 1), at most
// kPacketDigits significant ones. Empty when it is one, else what is wrong with it.
constexpr size_t kPacketDigits = 6;
std::string packet_number(const std::string& key, const std::string& text, long& value) {
  value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return key + "=" + text + " is not a number (digits only)";
  size_t first = text.find_first_not_of('0');
  if (first != std::string::npos && text.size() - first > kPacketDigits)
    return key + "=" + text + " has more than " + std::to_string(kPacketDigits) + " significant digits";
  for (size_t i = first == std::string::npos ? text.size() : first; i < text.size(); ++i) value = value * 10 + (text[i] - '0');
  if (value == 0) return key + "=" + text + " is 0; " + (key == "PNO" ? "packets count from 1" : "an upload has at least one packet");
  return std::string();
}

long index_of(const Segment& seg, const char* key) {
  for (size_t i = 0; i < seg.header.size(); ++i)
    if (seg.header[i].first == key) return static_cast<long>(i);
  return -1;
}

std::string random_text(const char* alphabet, size_t alphabet_size, size_t n) {
  static std::mt19937 engine{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, alphabet_size - 1);
  std::string out;
  for (size_t i = 0; i < n; ++i) out += alphabet[pick(engine)];
  return out;
}

bool is_data_cn(const std::string& cn) { return cn.size() == 4 && cn[0] == '2'; }

} // namespace

std::string new_key_text() {
  static const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  return random_text(kAlphabet, sizeof kAlphabet - 1, 16);
}

std::string new_mn_text() {
  static const char kHex[] = "0123456789ABCDEF";
  return random_text(kHex, sizeof kHex - 1, 24);
}

Flows2025::Flows2025(PlatformOptions& options, Log log, Log problem, Log note)
    : m_opt(options), m_log(std::move(log)), m_problem(std::move(problem)), m_note(std::move(note)), m_first_mn(options.mn) {}

Flows2025::Seen Flows2025::frame(const Segment& seg, size_t wire_bytes, int64_t now, bool history) {
  std::string cn = seg.value("CN");
  long flag = seg.flag;
  if (flag < 0) flag = 0;
  check_envelope(seg, wire_bytes);
  if (cn == "9015") return heartbeat(seg, flag, now);
  if (cn == "1014") return key_request(seg);
  if (cn == "1001") { // hardware identifiers: answered 9014 as an upload
    check_ids(seg);
    return Seen();
  }
  if (cn.size() == 4 && cn[0] == '9') return Seen(); // answers: the platform pairs them
  return upload(seg, flag, history, now);
}

void Flows2025::check_envelope(const Segment& seg, size_t wire_bytes) {
  std::string cn = seg.value("CN"), qn = seg.value("QN"), mn = seg.value("MN");
  if (wire_bytes > m_largest) m_largest = wire_bytes;
  if (wire_bytes > kMaxSegment)
    m_problem("frame QN " + qn + " CN=" + cn + ": " + std::to_string(wire_bytes) + " bytes of data segment on the wire, above " +
              std::to_string(kMaxSegment) + " (not split into packets)");
  if (mn != m_opt.mn) m_problem("frame QN " + qn + " CN=" + cn + " carries MN=" + mn + ", the station's MN is " + m_opt.mn);
  check_order(seg);
  const std::string* rf = seg.get("RF");
  if (rf && *rf != "1") m_problem("frame QN " + qn + " carries RF=" + *rf + "; a resend carries RF=1");
}

Flows2025::Seen Flows2025::heartbeat(const Segment& seg, long flag, int64_t now) {
  Seen seen;
  std::string qn = seg.value("QN"), mn = seg.value("MN");
  if (m_heartbeats++ == 0) m_first_beat = now;
  m_last_beat = now;
  if ((flag & 1) && !m_opt.heartbeat_unanswered) seen.reply = "QN=" + qn + ";ST=91;CN=9013;PW=" + m_opt.pw + ";MN=" + mn + ";Flag=8;CP=&&&&";
  seen.handled = true;
  return seen;
}

// The station asks for a key: a new one, in force from this answer on.
Flows2025::Seen Flows2025::key_request(const Segment& seg) {
  Seen seen;
  std::string qn = seg.value("QN"), mn = seg.value("MN");
  ++m_key_requests;
  const std::string* time = seg.cp_get("SKCreateTime");
  std::string t = time ? *time : std::string();
  if (t.size() != 17 || t.find_first_not_of("0123456789") != std::string::npos)
    m_problem("key request QN " + qn + " without a 17-digit SKCreateTime");
  if (m_opt.key_request_ack_only) { // as platforms do that send the key after a 9013, as a request with its QN
    seen.reply = "QN=" + qn + ";ST=91;CN=9013;PW=" + m_opt.pw + ";MN=" + mn + ";Flag=8;CP=&&&&";
    std::string cp = "SKCreateTime=" + t + ";NewSK=" + new_key_text();
    seen.push = "QN=" + qn + ";ST=" + m_opt.st + ";CN=1014;PW=" + m_opt.pw + ";MN=" + mn + ";Flag=" + m_opt.flag + ";CP=&&" + cp + "&&";
    request_sent(qn, "1014", cp);
    m_log("   key request QN " + qn + " answered 9013; the key follows as a request with its QN");
    seen.handled = true;
    return seen;
  }
  std::string key = new_key_text();
  seen.reply =
      "QN=" + qn + ";ST=" + seg.value("ST") + ";CN=1014;PW=" + m_opt.pw + ";MN=" + mn + ";Flag=8;CP=&&SKCreateTime=" + t + ";NewSK=" + key + "&&";
  switch_key(key);
  m_key_answers.insert(qn);
  if (m_key_answers.size() > 16) m_key_answers.erase(m_key_answers.begin()); // QNs grow with time: the oldest
  m_log("   key request QN " + qn + " answered with a new key (NewSK=****), in force from now on");
  seen.handled = true;
  return seen;
}

void Flows2025::check_ids(const Segment& seg) {
  std::string qn = seg.value("QN");
  ++m_ids;
  for (const char* id : {"i23005-Info", "i23006-Info", "i23007-Info", "i23008-Info"})
    if (!seg.cp_get(id) || seg.cp_get(id)->empty()) m_problem("hardware identifiers QN " + qn + " without " + id);
}

Flows2025::Seen Flows2025::upload(const Segment& seg, long flag, bool history, int64_t now) {
  std::string cn = seg.value("CN"), qn = seg.value("QN");
  const std::string* rf = seg.get("RF");
  std::string datatime = seg.cp_get("DataTime") ? *seg.cp_get("DataTime") : std::string();
  std::string resend = rf ? *rf : std::string();
  bool packet = (flag & 2) || seg.get("PNUM") || seg.get("PNO");
  if (packet) return upload_packet(seg, datatime, resend, history, now);
  if (m_have_group) {
    m_problem("upload QN " + m_group.qn + ": packet " + std::to_string(m_group.next) + " of " + std::to_string(m_group.pnum) + " never came (QN " +
              qn + " CN=" + cn + " came in its place)");
    m_have_group = false;
  }
  upload_done(qn, cn, datatime, resend, 1, history);
  return Seen();
}

// One packet of an upload: the upload counts once its last packet came in order.
Flows2025::Seen Flows2025::upload_packet(const Segment& seg, const std::string& datatime, const std::string& resend, bool history, int64_t now) {
  Seen seen;
  std::string cn = seg.value("CN"), qn = seg.value("QN");
  ++m_packets;
  seen.whole = false;
  long pnum = 0, pno = 0;
  if (!check_packet(seg, pnum, pno)) return seen;
  if (m_have_group && (m_group.qn != qn || pno != m_group.next || pnum != m_group.pnum || resend != m_group.rf)) {
    m_problem("upload QN " + m_group.qn + ": packet " + std::to_string(m_group.next) + " of " + std::to_string(m_group.pnum) + " was due, PNO=" +
              std::to_string(pno) + " PNUM=" + std::to_string(pnum) + (resend.empty() ? "" : " RF=" + resend) + " of QN " + qn + " came");
    m_have_group = false;
  }
  if (!m_have_group) {
    if (pno != 1) {
      m_problem("packet PNO=" + std::to_string(pno) + " of QN " + qn + " without the packets before it");
      return seen;
    }
    m_group = Group{qn, cn, datatime, resend, pnum, 1, now};
    m_have_group = true;
  }
  ++m_group.next;
  if (pno < pnum) return seen;
  m_have_group = false;
  ++m_split_uploads;
  seen.whole = true;
  upload_done(qn, cn, m_group.datatime, m_group.rf, pnum, history);
  return seen;
}

bool Flows2025::check_packet(const Segment& seg, long& pnum, long& pno) {
  std::string qn = seg.value("QN"), flag = seg.value("Flag");
  const std::string* pnum_text = seg.get("PNUM");
  const std::string* pno_text = seg.get("PNO");
  if (seg.flag < 0 || !(seg.flag & 2)) {
    m_problem("packet of QN " + qn + ": Flag=" + flag + " lacks the packet bit (2) that PNUM/PNO need");
    return false;
  }
  if (!pnum_text || !pno_text) {
    m_problem("frame QN " + qn + ": Flag=" + flag + " has the packet bit but no PNUM or no PNO");
    return false;
  }
  std::string wrong = packet_number("PNUM", *pnum_text, pnum);
  if (wrong.empty()) wrong = packet_number("PNO", *pno_text, pno);
  if (wrong.empty() && pno > pnum) wrong = "PNO=" + *pno_text + " is beyond PNUM=" + *pnum_text;
  if (!wrong.empty()) m_problem("packet of QN " + qn + ": " + wrong);
  return wrong.empty();
}

void Flows2025::check_order(const Segment& seg) {
  long flag = index_of(seg, "Flag"), pnum = index_of(seg, "PNUM"), pno = index_of(seg, "PNO"), rf = index_of(seg, "RF");
  bool ok = (pnum < 0 || (flag >= 0 && pnum == flag + 1)) && (pno < 0 || (pnum >= 0 && pno == pnum + 1)) &&
            (rf < 0 || rf + 1 == static_cast<long>(seg.header.size()));
  if (!ok) m_problem("frame QN " + seg.value("QN") + ": Flag, PNUM, PNO and RF out of order; the 2025 order is Flag;PNUM;PNO;[RF=1;]CP=");
}

void Flows2025::upload_done(const std::string& qn, const std::string& cn, const std::string& datatime, const std::string& rf, long packets,
                            bool history) {
  if (!is_data_cn(cn)) return;
  auto it = m_received.find(qn);
  bool resend = rf == "1";
  if (history && !resend) { // the records of one answer share its QN: none is a re-upload, none kept for resends
    m_cut.erase(qn);
    m_log("   history record CN=" + cn + " QN=" + qn + " DataTime=" + datatime + ": " +
          (packets > 1 ? std::to_string(packets) + " packets" : std::string("one frame")));
    return;
  }
  if (resend) {
    ++m_resends;
    if (it != m_received.end()) { // its answer was lost or late: it may come again at any time
      ++m_resends_known;
      if (it->second.datatime != datatime)
        m_problem("resend of QN " + qn + " carries DataTime=" + datatime + ", the upload had " + it->second.datatime);
    } else { // lost before this connection: the station had it in its backlog from the start
      if (!m_last_resend.empty() && qn > m_last_resend) m_problem("resends not newest first: QN " + qn + " after QN " + m_last_resend);
      m_last_resend = qn;
    }
  } else if (it != m_received.end()) {
    m_problem("QN " + qn + " (CN=" + cn + ") uploaded again without RF=1");
  }
  m_cut.erase(qn);
  m_received[qn] = Received{cn, datatime};
  if (m_received.size() > kRemembered) m_received.erase(m_received.begin());
  m_log("   upload CN=" + cn + " QN=" + qn + " DataTime=" + datatime + ": " +
        (packets > 1 ? std::to_string(packets) + " packets" : std::string("one frame")) + (resend ? ", resent (RF=1)" : ""));
}

void Flows2025::cut(const Group& g, const char* why) {
  m_cut[g.qn] = "CN=" + g.cn + ", packets 1.." + std::to_string(g.next - 1) + " of " + std::to_string(g.pnum) + " " + why;
  if (m_cut.size() > kRemembered) m_cut.erase(m_cut.begin());
}

void Flows2025::switch_key(const std::string& key) {
  m_previous_key = m_opt.key;
  m_opt.key = key;
}

std::string Flows2025::request_cp(const std::string& cn) {
  if (cn == "1014") return "SKCreateTime=" + qn_text() + ";NewSK=" + new_key_text();
  if (cn == "1002") return "MN=" + new_mn_text();
  return std::string();
}

void Flows2025::request_sent(const std::string& qn, const std::string& cn, const std::string& cp) {
  if (cn != "1014" && cn != "1002") return;
  Segment s = parse_segment("CP=&&" + cp + "&&");
  const std::string* value = s.cp_get(cn == "1014" ? "NewSK" : "MN");
  m_requests[qn] = Request{cn, value ? *value : std::string()};
}

void Flows2025::request_done(const std::string& qn, const std::string& qn_rtn, const std::string& exe_rtn) {
  auto it = m_requests.find(qn);
  if (it == m_requests.end()) return;
  Request r = it->second;
  m_requests.erase(it);
  bool taken = qn_rtn == "1" && exe_rtn == "1";
  std::string answers = "QnRtn=" + qn_rtn + (exe_rtn.empty() ? "" : ", ExeRtn=" + exe_rtn);
  if (r.cn == "1002") {
    if (!taken) {
      m_problem("the station refused the new MN " + r.value + " (" + answers + ")");
      return;
    }
    ++m_mn_changes;
    m_opt.mn = r.value;
    m_log("   the station takes MN " + r.value + ": every later frame must carry it");
    return;
  }
  if (r.value.size() == 16) {
    if (!taken) {
      m_problem("the station refused a key of 16 characters (" + answers + ")");
      return;
    }
    ++m_pushes_taken;
    switch_key(r.value);
    m_log("   the station takes the pushed key (NewSK=****)");
  } else if (taken) {
    m_problem("the station took a key of " + std::to_string(r.value.size()) + " characters; a key has 16");
  } else {
    ++m_pushes_refused;
    m_log("   the station keeps its key after a NewSK of " + std::to_string(r.value.size()) + " characters, as it should");
  }
}

bool Flows2025::answer_to_key_answer(const std::string& qn, const std::string& cn) {
  if (!m_key_answers.count(qn)) return false;
  m_note(cn + " for QN " + qn + ": the station answered the key its 1014 got as if the key were pushed (implementations differ)");
  return true;
}

void Flows2025::connected(int64_t) { m_last_resend.clear(); }

void Flows2025::disconnected(int64_t) {
  if (m_have_group) cut(m_group, "before the link went down");
  m_have_group = false;
}

void Flows2025::finish(int64_t now) {
  if (m_have_group && now - m_group.first_at > 1000) {
    cut(m_group, "and the rest never came");
    m_have_group = false; // told once, however often the platform finishes
  }
  for (const auto& c : m_cut) m_problem("upload QN " + c.first + " (" + c.second + ") never completed, nor resent");
  m_cut.clear();
}

void Flows2025::summary_rows(const std::function<void(const char*, const std::string&)>& row) const {
  row("packets:", std::to_string(m_packets) + " in " + std::to_string(m_split_uploads) + " uploads; largest data segment " +
                      std::to_string(m_largest) + " B on the wire (at most " + std::to_string(kMaxSegment) + ")");
  row("resends:", std::to_string(m_resends) + " (RF=1), " + std::to_string(m_resends - m_resends_known) + " of uploads not received before");
  std::string beats = std::to_string(m_heartbeats);
  if (m_heartbeats >= 2) {
    char every[48];
    std::snprintf(every, sizeof every, " (every %.1f s)",
                  static_cast<double>(m_last_beat - m_first_beat) / 1000.0 / static_cast<double>(m_heartbeats - 1));
    beats += every;
  }
  row("heartbeats:", beats + (m_opt.heartbeat_unanswered ? ", unanswered" : ", answered 9013"));
  row("hardware ids:", std::to_string(m_ids) + " (1001), answered 9014");
  row("key exchange:", std::to_string(m_key_requests) + (m_key_requests == 1 ? " request" : " requests") +
                           (m_opt.key_request_ack_only ? " answered 9013" : " answered with NewSK") + "; pushed keys: " +
                           std::to_string(m_pushes_taken) + " taken, " + std::to_string(m_pushes_refused) + " of a wrong length refused");
  row("MN:", m_first_mn + (m_mn_changes ? ", then " + m_opt.mn + " after 1002" : std::string()));
}

} // namespace sim
