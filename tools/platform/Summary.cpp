// Problems and notes as they come, and what the run ends with: the summary, the verdict, the report.
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

namespace {

std::string stats(const std::vector<int64_t>& v) {
  if (v.empty()) return "-";
  int64_t lo = v[0], hi = v[0], sum = 0;
  for (int64_t x : v) {
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
    sum += x;
  }
  return "min " + std::to_string(lo) + " ms, avg " + std::to_string(sum / static_cast<int64_t>(v.size())) + " ms, max " +
         std::to_string(hi) + " ms";
}

} // namespace

Platform::Counters Platform::counters() const {
  Counters c;
  c.frames_in = m_frames_in;
  c.frames_out = m_frames_out + m_answers_sent;
  c.answers_sent = m_answers_sent;
  c.bad_frames = m_bad_frames;
  c.resends = resends();
  c.heartbeats = m_flows ? m_flows->heartbeats() : 0u;
  c.encrypted = m_judge.counts().encrypted_raw + m_judge.counts().encrypted_text > 0;
  return c;
}

void Platform::data_rows(const std::function<void(const char*, const std::string&)>& row) const {
  row("data frames:", m_tally.uploads_text());
  const std::string periods = m_periods.summary();
  if (!periods.empty()) row("period data:", periods);
  const std::string history = m_tally.history_text(), resent = m_tally.resends_text();
  if (!history.empty()) row("history answers:", history);
  if (!resent.empty() && !m_flows) row("resends:", resent + " (RF=1)"); // the 2025 flows count theirs
}

std::string Platform::summary() const {
  std::ostringstream o;
  auto row = [&](const char* label, const std::string& value) {
    o << "  " << label;
    for (size_t i = std::string(label).size(); i < 20; ++i) o << ' ';
    o << value << "\n";
  };
  o << "== " << m_opt.name << " summary ==\n";
  row("station:", (m_peer.empty() ? std::string("never connected") : m_peer) + (m_station_mn.empty() ? "" : ", MN " + m_station_mn));
  row("connections:", std::to_string(m_connections));
  row("frames out:", std::to_string(m_frames_out) + " requests, " + std::to_string(m_answers_sent) + " data answers");
  row("frames in:", std::to_string(m_frames_in));
  row("bad frames in:", std::to_string(m_bad_frames));
  row("junk bytes in:", std::to_string(m_junk_bytes));
  const FrameJudge::Counts& judged = m_judge.counts();
  if (m_opt.standard) {
    row("standard:", std::string(m_opt.standard >= 2025 ? "HJ 212-2025, UTF-8" : "HJ 212-2017, GB18030"));
    row("non-ASCII frames:", std::to_string(judged.chinese) + ", " + std::to_string(judged.wrong_charset) + " in the wrong charset");
    row("wrong Flag version:", std::to_string(judged.wrong_version));
  }
  if (!m_opt.key.empty()) {
    row("encrypted in:", std::to_string(judged.encrypted_raw + judged.encrypted_text) + " (" + std::to_string(judged.encrypted_raw) + " raw, " +
                             std::to_string(judged.encrypted_text) + " {0x..} text), " + std::to_string(judged.unencrypted) + " not encrypted");
    row("encrypted out:", std::to_string(m_encrypted_out) + " requests (" + cipher_wire_text(m_opt.cipher_form) + ")");
  }
  if (judged.converted) row("crc over UTF-8:", std::to_string(judged.converted) + " frames (length and CRC not over the wire bytes)");
  if (m_flows) m_flows->summary_rows(row);
  if (m_opt.drop_at_ms >= 0)
    row("link dropped:", m_drop == LinkDrop::Planned ? std::string("not yet")
                                                      : "for " + std::to_string(m_opt.drop_for_ms) + " ms, at " +
                                                            std::to_string(m_drop_started - m_first_connect) + " ms");
  if (!m_opt.left_out.empty()) {
    std::string left;
    for (const std::string& cn : m_opt.left_out) left += (left.empty() ? "CN=" : ", CN=") + cn;
    row("left out:", left + " (the scenario's leave: not judged)");
  }
  row("requests:", std::to_string(m_requests.counts().sent));
  row("answered:", std::to_string(m_requests.counts().answered));
  row("missing replies:", std::to_string(m_requests.counts().missing));
  row("unexpected replies:", std::to_string(m_requests.counts().unexpected));
  data_rows(row);
  m_values.summary_rows(row);
  row("latency 9011:", stats(m_requests.counts().ack_ms));
  row("latency complete:", stats(m_requests.counts().final_ms));
  m_problems.note_lines(row, o);
  row("verdict:", verdict());
  m_problems.cause_lines(o);
  return o.str();
}

std::string Platform::verdict() const {
  if (broken()) return "BROKEN (" + std::to_string(m_problems.count()) + " problems)";
  return m_connections ? std::string("OK") : std::string("NO STATION"); // nothing was judged: no pass
}

Report::Header Platform::report_header() const {
  Report::Header h;
  h.name = m_opt.name;
  h.verdict = verdict();
  h.broken = broken() || !m_connections;
  h.peer = m_peer;
  h.mn = m_station_mn;
  h.edition = m_opt.standard >= 2025 ? "HJ 212-2025, UTF-8" : m_opt.standard ? "HJ 212-2017, GB18030" : "not checked (no --standard)";
  h.keyed = !m_opt.key.empty();
  h.summary = summary();
  for (const Request& p : m_requests.all())
    if (!p.done) h.awaited.insert(p.qn);
  return h;
}

std::string Platform::report_html(std::string_view css) const { return m_report.html(report_header(), css); }

std::string Platform::report_junit() const { return m_report.junit(report_header()); }

} // namespace sim
