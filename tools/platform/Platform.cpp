#include "Platform.h"

#include "hj212/CpCipher.h"
#include "hj212/Envelope.h"
#include "tools/common/Calendar.h"
#include "tools/common/Codes.h"
#include "tools/common/TextSafe.h"

namespace sim {

Platform::Platform(std::vector<Step> steps, PlatformOptions options, Log log)
    : m_opt(std::move(options)), m_log([log = std::move(log)](const std::string& line) { log(text_safe(line)); }),
      m_scenario(std::move(steps), {m_opt, m_sender, m_requests, m_out, m_periods, m_real_time, m_tally, m_problems, m_log}) {
  if (m_opt.standard >= 2025 && !m_opt.key.empty())
    m_flows = std::make_unique<Flows2025>(
        m_opt, m_log, [this](const std::string& what) { problem(what); }, [this](const std::string& what) { note(what); });
  const bool st_given = !m_opt.st.empty();
  if (!st_given) m_opt.st = "32"; // the commonest, until the station's first data frame tells its own
  m_duties = std::make_unique<StationDuties>(m_opt.st, st_given, [this](const std::string& what, const std::string& cause) { problem(what, cause); });
  m_report.edition(m_opt.standard);
}

void Platform::connected(int64_t now, const std::string& peer) {
  m_connected = true;
  ++m_link.connections;
  m_link.peer = peer;
  m_link_mn.clear();
  m_log("station connected (" + peer + ")");
  if (m_observer) m_observer->link_up(peer);
  if (m_flows) m_flows->connected(now);
  m_duties->connected();
  m_sender.resend_unheard(now);
  if (m_drop == LinkDrop::Down) {
    m_drop = LinkDrop::Done;
    m_log("station back " + std::to_string(now - m_drop_started) + " ms after the link was dropped");
    m_scenario.link_back(now);
    return;
  }
  if (m_first_connect < 0) {
    m_first_connect = now;
    m_periods.run_started();
    m_scenario.begin(now);
  } else {
    m_scenario.reconnected(now);
  }
}

void Platform::disconnected(int64_t now, const std::string& closed_here, bool silent) {
  if (!m_connected) return;
  m_connected = false;
  if (m_observer) m_observer->link_down();
  // what the link left unfinished is counted, not judged: the station had no chance to end it
  m_spans.finish([&](HJ::SpanKind, std::uint64_t, std::string_view bytes) { m_link.junk_bytes += static_cast<unsigned>(bytes.size()); });
  m_spans.reset();
  if (m_flows) m_flows->disconnected(now);
  if (silent) m_requests.hold_unheard();
  else m_requests.link_lost();
  m_real_time.fold();
  if (!closed_here.empty()) note(closed_here);
  else if (m_scenario.waiting_reconnect() || m_drop == LinkDrop::Down) return;
  else if (!m_finished) problem("the station closed the connection");
}

void Platform::received(const char* data, size_t n, int64_t now) {
  m_spans.set_key(m_opt.key);
  m_spans.feed(data, n, [&](HJ::SpanKind kind, std::uint64_t, std::string_view bytes) {
    switch (kind) {
    case HJ::SpanKind::Frame:
    case HJ::SpanKind::BadLength:
    case HJ::SpanKind::BadCrc: // a span with its line end: a frame, or a bad one named as such
      on_frame(bytes, now, kind == HJ::SpanKind::Frame);
      m_report.frame_done();
      return;
    case HJ::SpanKind::Overlong:
    case HJ::SpanKind::Noise:
    case HJ::SpanKind::Unended: junk(bytes); return;
    }
  });
}

void Platform::junk(std::string_view bytes) {
  m_link.junk_bytes += static_cast<unsigned>(bytes.size());
  problem("station sent " + std::to_string(bytes.size()) + " bytes outside any frame", "bytes outside any frame");
}

void Platform::on_frame(std::string_view received, int64_t now, bool taken) {
  ++m_link.frames_in;
  // With the key, an encrypted frame is checked and read as the plain frame it stands for.
  std::string plain;
  CipherWire form = CipherWire::Plain;
  KeyedRead read = read_keyed(received, plain, form);
  // The plug-in drops a frame whose fields fit but whose data segment its scanner does not take (a
  // control byte; with the key, text neither as received nor decrypted): never judged sound. One that
  // fails its own check is reported below as any bad frame; one the key before this one decrypts is read.
  const Verdict own = read == KeyedRead::Rejected || (!taken && read != KeyedRead::Decrypted) ? check_frame(received).verdict : Verdict::TooShort;
  if (read == KeyedRead::Rejected ? verdict_ok(own) : own == Verdict::Ok) {
    m_report.frame_in(received, now);
    rejected_frame(received);
    return;
  }
  std::string_view frame = form == CipherWire::Plain ? received : std::string_view(plain);
  FrameCheck c = m_judge.check(frame);
  m_report.frame_in(frame, now);
  m_log("<- " + describe_frame(frame) + (form == CipherWire::Plain ? "" : std::string(", encrypted (") + cipher_wire_text(form) + ")"));
  // the web view is handed the frame as the platform reads it: decrypted when it was encrypted
  if (m_observer) m_observer->frame(true, frame, c.verdict);
  if (!verdict_ok(c.verdict)) {
    bad_frame(received, c.verdict);
    return;
  }
  Segment seg = parse_segment(c.segment);
  m_judge.judge(frame, received, seg, form);
  std::string cn = seg.value("CN"), qn = seg.value("QN");
  std::string& mn = m_link.station_mn;
  if (mn.empty()) {
    mn = seg.value("MN");
    if (mn.size() != 24) // the standard's MN has 24; public platforms refuse others
      note("the station's MN " + mn + " has " + std::to_string(mn.size()) + " characters, not 24");
  }
  // one station's frames carry one MN; a new connection may be another station's. The 2025 flows follow
  // a 1002's new MN and judge it themselves.
  if (m_link_mn.empty()) m_link_mn = seg.value("MN");
  else if (!m_flows && seg.value("MN") != m_link_mn)
    problem("frame QN " + qn + " CN=" + cn + " carries MN=" + seg.value("MN") + ", the station's MN is " + m_link_mn +
                " (its first frame on this connection)",
            "frames carry another MN");
  m_values.add(codes::read_items(seg.cp_fields, seg.value("ST"), HJ::flag_version(seg.flag)));
  m_duties->frame(seg);
  // a record's DataTime: its own, or for a later packet of an upload the first packet's
  const std::string* own_time = seg.cp_get("DataTime");
  if (own_time) {
    m_packet_qn = qn;
    m_packet_datatime = *own_time;
  }
  const std::string datatime = own_time ? *own_time : qn == m_packet_qn ? m_packet_datatime : std::string();
  Flows2025::Seen seen;
  if (m_flows) {
    seen = m_flows->frame(seg, received.size() - HJ::kEnvelopeBytes, now, m_requests.history_request(seg, datatime) != nullptr);
    send_flow_frames(seen, seg, now);
    if (seen.handled) return;
  }
  if (cn == "9011") m_sender.on_ack(seg, qn, now);
  else if (cn == "9012") m_sender.on_result(seg, qn, now);
  else if (cn == "9013") m_sender.on_notice_answer(qn, now);
  else if (cn.size() != 4 || cn[0] != '9') on_data(seg, datatime, seen.whole, now); // other system answers: nothing to pair
}

KeyedRead Platform::read_keyed(std::string_view received, std::string& plain, CipherWire& form) {
  KeyedRead read = m_opt.key.empty() ? KeyedRead::AsReceived : read_with_key(received, m_opt.key, plain, form);
  // a frame the station wrote before it took the key the platform just handed out
  if (read != KeyedRead::Decrypted && m_flows && !m_flows->previous_key().empty() &&
      read_with_key(received, m_flows->previous_key(), plain, form) == KeyedRead::Decrypted)
    read = KeyedRead::Decrypted;
  return read;
}

void Platform::rejected_frame(std::string_view received) {
  ++m_link.bad_frames;
  m_log("<- " + describe_frame(received));
  if (m_observer) m_observer->frame(true, received, Verdict::BadCrc);
  const std::string seg_text = check_frame(received).segment;
  Segment seg = parse_segment(seg_text);
  const std::string head = "frame QN " + seg.value("QN") + " CN=" + seg.value("CN");
  std::size_t at = 0;
  while (at < seg_text.size() && static_cast<unsigned char>(seg_text[at]) >= 0x20 && seg_text[at] != 0x7F) ++at;
  if (m_opt.key.empty() && at < seg_text.size()) { // without a key the plug-in refuses a control byte alone
    problem(head + " holds a control byte (" + readable_text(seg_text.substr(at, 1)) + " at byte " + std::to_string(at) +
                " of its data segment): the plug-in drops it",
            "a control byte in the data segment");
    return;
  }
  problem(head + (HJ::data_command_header(seg_text.data(), seg_text.size())
                      ? " has its CRC over the encrypted bytes, not over the plain data (the plug-in drops it: with the key its data "
                        "segment is text neither as received nor decrypted)"
                      : " is no data command, yet its data segment is not text (binary, or a {0x..} list): damage its CRC let "
                        "through, or a CN hit on the way; the plug-in drops it"));
}

void Platform::bad_frame(std::string_view received, Verdict verdict) {
  ++m_link.bad_frames;
  const std::string_view wire =
      received.size() > HJ::kEnvelopeBytes ? received.substr(HJ::kDataAt, received.size() - HJ::kEnvelopeBytes) : std::string_view();
  const bool looks = !wire.empty() && looks_encrypted(wire) != CipherWire::Plain;
  // decrypted, its CRC fits the plain data: what the plug-in refuses is the plain text (a control byte, a wrong charset)
  std::string plain;
  CipherWire form = CipherWire::Plain;
  const bool decrypts = looks && !m_opt.key.empty() && decrypt_segment(wire, m_opt.key, plain, form) &&
                        HJ::crc_field_matches(received.data() + received.size() - HJ::kCrcFromEnd, plain.data(), plain.size());
  const char* hint = !looks              ? ""
                     : m_opt.key.empty() ? "; it looks encrypted: give the key"
                     : decrypts          ? "; it decrypts with the key, but its plain data segment is no text (a control byte, or not its "
                                           "charset): the plug-in drops it"
                                         : "; it looks encrypted, but the key does not decrypt it";
  problem(std::string("bad frame from the station (") + verdict_text(verdict) + hint + ")");
}

void Platform::send_flow_frames(const Flows2025::Seen& seen, const Segment& seg, int64_t now) {
  if (!seen.reply.empty()) {
    const std::string reply = HJ::wire_data(seen.reply, HJ::kCharsetByFlag).frame();
    m_out.queue(reply, now + m_opt.answer_delay_ms);
    if (m_observer) m_observer->frame(false, reply, Verdict::Ok);
    ++m_link.answers_sent;
  }
  // a request outside the scenario, awaited like the scenario's
  if (!seen.push.empty()) m_sender.send_flow_request(HJ::wire_data(seen.push, HJ::kCharsetByFlag).frame(), seg.value("QN"), seg.value("CN"), now);
}

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
        if (p && !p->done && p->cn == "2011") m_sender.took_effect(*p, now); // its first upload answers a 2011: uploads start again
        m_real_time.upload(qn, now);
      }
      if (m_opt.periods.count(cn)) m_report.period_record(cn);
      m_periods.record(cn, qn, datatime, false);
    }
  }
  // a history request's records come before its 9012, which ends it; other data by the request's order
  const bool ends = p && !p->history && m_sender.on_request_data(*p, seg);
  if (p && !p->done) {
    m_report.answer(p->qn);
    if (ends) {
      p->done = true;
      ++m_requests.counts().answered;
      m_requests.counts().final_ms.push_back(now - p->sent_at);
    }
    m_sender.accepted(*p, "answered with data");
  }
  if (seg.flag >= 0 && (seg.flag & 1)) { // the station asks for an answer: 9013 to a notice (1013), 9014 to an upload
    const char* answer_cn = codes::command_type(cn, true) == codes::CommandType::Notice ? "9013" : "9014";
    std::string answer = "QN=" + qn + ";ST=91;CN=" + answer_cn + ";PW=" + m_opt.pw + ";MN=" + seg.value("MN") +
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
void Platform::upload_fields(const Segment& seg, const std::string& cn, const std::string& qn, const std::string& datatime, bool fresh, bool answer) {
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

void Platform::tick(int64_t now) {
  m_sender.expire(now);
  drop_link_tick(now);
  m_scenario.tick(now, m_drop == LinkDrop::Down);
  if (!m_scenario.active() && m_first_connect >= 0 && !m_requests.pending() && m_out.empty() && m_drop != LinkDrop::Down &&
      (m_opt.duration_ms <= 0 || now - m_first_connect >= m_opt.duration_ms)) {
    m_finished = true;
    m_real_time.judge(false);
    if (m_flows) m_flows->finish(now);
  }
}

bool Platform::refusing(int64_t now) const { return m_drop == LinkDrop::Down && now < m_drop_started + m_opt.drop_for_ms; }

void Platform::drop_link_tick(int64_t now) {
  if (m_opt.drop_at_ms < 0 || m_first_connect < 0) return;
  if (m_drop == LinkDrop::Planned && m_connected && now >= m_first_connect + m_opt.drop_at_ms) {
    for (const Request& p : m_requests.all())
      if (!p.done && !p.corrupt) return; // not while a request waits for its answers
    m_out.queue(std::string(), now, true);
    m_drop = LinkDrop::Down;
    m_drop_started = now;
    m_log("-> dropping the link for " + std::to_string(m_opt.drop_for_ms) + " ms (--drop-link)");
  } else if (m_drop == LinkDrop::Down && now >= m_drop_started + m_opt.drop_for_ms + 4 * m_opt.reply_timeout_ms) {
    problem("the station did not come back after the dropped link");
    m_drop = LinkDrop::Done;
    m_scenario.link_back(now);
  }
}

int64_t Platform::next_event(int64_t now) const {
  int64_t t = -1;
  auto consider = [&](int64_t x) { // a deadline passed is done with or waits for the station, not for the clock
    if (x > now && (t < 0 || x < t)) t = x;
  };
  if (!m_out.empty()) consider(m_out.next_at());
  consider(m_requests.next_deadline(now));
  consider(m_scenario.deadline());
  if (m_first_connect >= 0 && m_opt.duration_ms > 0) consider(m_first_connect + m_opt.duration_ms);
  if (m_first_connect >= 0 && m_opt.drop_at_ms >= 0 && m_drop == LinkDrop::Planned) consider(m_first_connect + m_opt.drop_at_ms);
  if (m_drop == LinkDrop::Down) consider(m_drop_started + m_opt.drop_for_ms);
  return t;
}

std::string Platform::summary() const { return text_safe(summary_room().text(), kKeepLines); }

Summary Platform::summary_room() const {
  LinkFigures link = m_link;
  link.dropped = m_drop != LinkDrop::Planned;
  link.dropped_after_ms = m_drop_started - m_first_connect;
  return Summary({m_opt, m_judge, m_requests, m_sender, m_tally, m_periods, m_values, m_problems, m_flows}, std::move(link));
}

Platform::Counters Platform::counters() const {
  Counters c;
  c.frames_in = m_link.frames_in;
  c.frames_out = m_sender.frames_out() + m_link.answers_sent;
  c.answers_sent = m_link.answers_sent;
  c.bad_frames = m_link.bad_frames;
  c.resends = resends();
  c.heartbeats = m_flows ? m_flows->heartbeats() : 0u;
  c.encrypted = m_judge.counts().encrypted_raw + m_judge.counts().encrypted_text > 0;
  return c;
}

} // namespace sim
