// What the run ends with: the summary, the verdict, the report's header.
#include "Summary.h"

#include <sstream>

#include "Flows2025.h"
#include "Judge.h"
#include "Periods.h"
#include "Problems.h"
#include "Requests.h"
#include "Uploads.h"
#include "tools/common/Codes.h"

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
  return "min " + std::to_string(lo) + " ms, avg " + std::to_string(sum / static_cast<int64_t>(v.size())) + " ms, max " + std::to_string(hi) + " ms";
}

} // namespace

void Summary::data_rows(const std::function<void(const char*, const std::string&)>& row) const {
  row("data frames:", m_parts.tally.uploads_text());
  const std::string periods = m_parts.periods.summary();
  if (!periods.empty()) row("period data:", periods);
  const std::string history = m_parts.tally.history_text(), resent = m_parts.tally.resends_text();
  if (!history.empty()) row("history answers:", history);
  if (!resent.empty() && !m_parts.flows) row("resends:", resent + " (RF=1)"); // the 2025 flows count theirs
}

void Summary::standard_rows(const std::function<void(const char*, const std::string&)>& row) const {
  const FrameJudge::Counts& judged = m_parts.judge.counts();
  if (m_parts.opt.standard) {
    row("standard:", std::string(m_parts.opt.standard >= 2025 ? "HJ 212-2025, UTF-8" : "HJ 212-2017, GB18030"));
    row("non-ASCII frames:", std::to_string(judged.chinese) + ", " + std::to_string(judged.wrong_charset) + " in the wrong charset");
    row("wrong Flag version:", std::to_string(judged.wrong_version));
  }
  if (!m_parts.opt.key.empty()) {
    row("encrypted in:", std::to_string(judged.encrypted_raw + judged.encrypted_text) + " (" + std::to_string(judged.encrypted_raw) + " raw, " +
                             std::to_string(judged.encrypted_text) + " {0x..} text), " + std::to_string(judged.unencrypted) + " not encrypted");
    row("encrypted out:", std::to_string(m_parts.sender.encrypted_out()) + " requests (" + cipher_wire_text(m_parts.opt.cipher_form) + ")");
  }
  if (judged.converted) row("crc over UTF-8:", std::to_string(judged.converted) + " frames (length and CRC not over the wire bytes)");
}

std::string Summary::text() const {
  std::ostringstream o;
  auto row = [&](const char* label, const std::string& value) {
    o << "  " << label;
    for (size_t i = std::string(label).size(); i < 20; ++i) o << ' ';
    o << value << "\n";
  };
  o << "== " << m_parts.opt.name << " summary ==\n";
  row("station:",
      (m_link.peer.empty() ? std::string("never connected") : m_link.peer) + (m_link.station_mn.empty() ? "" : ", MN " + m_link.station_mn));
  row("connections:", std::to_string(m_link.connections));
  row("frames out:", std::to_string(m_parts.sender.frames_out()) + " requests, " + std::to_string(m_link.answers_sent) + " data answers");
  row("frames in:", std::to_string(m_link.frames_in));
  row("bad frames in:", std::to_string(m_link.bad_frames));
  row("junk bytes in:", std::to_string(m_link.junk_bytes));
  standard_rows(row);
  if (m_parts.flows) m_parts.flows->summary_rows(row);
  if (m_parts.opt.drop_at_ms >= 0)
    row("link dropped:", !m_link.dropped
                             ? std::string("not yet")
                             : "for " + std::to_string(m_parts.opt.drop_for_ms) + " ms, at " + std::to_string(m_link.dropped_after_ms) + " ms");
  if (!m_parts.opt.left_out.empty()) {
    std::string left;
    for (const std::string& cn : m_parts.opt.left_out) left += (left.empty() ? "CN=" : ", CN=") + cn;
    row("left out:", left + " (the scenario's leave: not judged)");
  }
  row("requests:", std::to_string(m_parts.ledger.counts().sent));
  row("answered:", std::to_string(m_parts.ledger.counts().answered));
  row("missing replies:", std::to_string(m_parts.ledger.counts().missing));
  row("unexpected replies:", std::to_string(m_parts.ledger.counts().unexpected));
  data_rows(row);
  m_parts.values.summary_rows(row);
  row("latency 9011:", stats(m_parts.ledger.counts().ack_ms));
  row("latency complete:", stats(m_parts.ledger.counts().final_ms));
  m_parts.problems.note_lines(row, o);
  row("verdict:", verdict());
  m_parts.problems.cause_lines(o);
  return o.str();
}

bool Summary::broken() const { return m_parts.problems.count() != 0; }

std::string Summary::verdict() const {
  if (broken()) return "BROKEN (" + std::to_string(m_parts.problems.count()) + " problems)";
  return m_link.connections ? std::string("OK") : std::string("NO STATION"); // nothing was judged: no pass
}

Report::Header Summary::report_header() const {
  Report::Header h;
  h.name = m_parts.opt.name;
  h.verdict = verdict();
  h.broken = broken() || !m_link.connections;
  h.peer = m_link.peer;
  h.mn = m_link.station_mn;
  h.edition = m_parts.opt.standard >= 2025 ? "HJ 212-2025, UTF-8" : m_parts.opt.standard ? "HJ 212-2017, GB18030" : "not checked (no --standard)";
  h.keyed = !m_parts.opt.key.empty();
  h.summary = text();
  for (const Request& p : m_parts.ledger.all())
    if (!p.done) h.awaited.insert(p.qn);
  return h;
}

} // namespace sim
