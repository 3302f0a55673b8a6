#include "CaptureFrames.h"

#include "tools/common/Hj212Text.h"
#include "tools/common/sys/System.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>

namespace frametool {

namespace {

// How many key log lines each way a frame the key in force does not read is tried with.
constexpr long kNearLines = 16;

// A report read with `key` that stands: it decrypted, or it passed without needing to.
bool reads(const Report& r) { return r.accepted; }

Report explain_with_log(CapturedFrame& f, const std::vector<sim::KeyChange>& keys) {
  if (keys.empty()) return explain(f.span);
  auto after = std::upper_bound(keys.begin(), keys.end(), f.at, [](int64_t t, const sim::KeyChange& k) { return t < k.at; });
  long in_force = static_cast<long>(after - keys.begin()) - 1; // -1: before the first line
  long first = in_force < 0 ? 0 : in_force;
  f.key = &keys[static_cast<size_t>(first)];
  Report report = explain(f.span, f.key->key);
  if (reads(report) || report.encryption != sim::CipherWire::Plain) return report;
  // not read as it stands: the nearest other key that reads it, before or after (the sender had
  // not switched yet, the log's line came late, or another link's key), a few lines each way so a
  // hostile log costs little
  for (long step = 1; step <= kNearLines * 2; ++step) {
    long i = step % 2 ? first - (step + 1) / 2 : first + step / 2;
    if (i < 0 || i >= static_cast<long>(keys.size()) || keys[static_cast<size_t>(i)].key == f.key->key) continue;
    Report other = explain(f.span, keys[static_cast<size_t>(i)].key);
    if (!reads(other) || other.encryption == sim::CipherWire::Plain) continue;
    f.key = &keys[static_cast<size_t>(i)];
    f.key_in_force = false;
    return other;
  }
  return report;
}

// The key log's key in force at `t` (the first line's before it).
const std::string& key_at(const std::vector<sim::KeyChange>& keys, int64_t t) {
  auto after = std::upper_bound(keys.begin(), keys.end(), t, [](int64_t at, const sim::KeyChange& k) { return at < k.at; });
  return after == keys.begin() ? keys.front().key : std::prev(after)->key;
}

} // namespace

struct FrameStream::Stream {
  SpanCutter cutter;
  std::uint64_t base = 0; // the flow's offset of the cutter's first byte (a stream going on after its end starts anew)
  std::uint64_t fed = 0;  // bytes given to the cutter
  // Where each packet's bytes start and its time, from the packet that holds the first byte a
  // span still to come may start at; and of those, each one no later entry is earlier than (the
  // earliest first), so the earliest time the cutter holds is known without a search.
  std::deque<std::pair<std::uint64_t, int64_t>> times, lows;
  std::multiset<int64_t>::iterator earliest;
};

FrameStream::FrameStream(const std::vector<sim::KeyChange>& keys, const std::string& key, Sink sink)
    : m_keys(keys), m_key(key), m_sink(std::move(sink)), m_from(std::numeric_limits<int64_t>::min()) {}

FrameStream::~FrameStream() = default;

void FrameStream::bytes(const sim::CapturedFlow& flow, const char* data, std::size_t n, int64_t t) { bytes_at(flow, flow.length, data, n, t); }

void FrameStream::bytes_at(const sim::CapturedFlow& flow, std::uint64_t offset, const char* data, std::size_t n, int64_t t) {
  std::unique_ptr<Stream>& slot = m_streams[&flow];
  if (!slot) {
    slot = std::make_unique<Stream>();
    slot->base = offset;
    slot->earliest = m_earliest.insert(t);
  }
  Stream& s = *slot;
  s.cutter.set_key(m_key.empty() && !m_keys.empty() ? key_at(m_keys, t) : m_key);
  const std::uint64_t at = s.base + s.fed;
  s.times.emplace_back(at, t);
  while (!s.lows.empty() && s.lows.back().second >= t) s.lows.pop_back();
  s.lows.emplace_back(at, t);
  s.cutter.feed(data, n, [&](Span&& span) { cut(s, flow, std::move(span)); });
  s.fed += n;
  // a span still to come starts in what the cutter holds: the times before it go
  const std::uint64_t first = s.base + s.fed - std::min<std::uint64_t>(s.fed, s.cutter.held());
  while (s.times.size() > 1 && s.times[1].first <= first) s.times.pop_front();
  while (s.lows.front().first < s.times.front().first) s.lows.pop_front();
  m_earliest.erase(s.earliest);
  s.earliest = m_earliest.insert(s.lows.front().second);
}

void FrameStream::cut(Stream& s, const sim::CapturedFlow& flow, Span&& span) {
  CapturedFrame f;
  f.flow = &flow;
  span.offset += static_cast<std::size_t>(s.base);
  auto after = std::upper_bound(s.times.begin(), s.times.end(), static_cast<std::uint64_t>(span.offset),
                                [](std::uint64_t off, const std::pair<std::uint64_t, int64_t>& p) { return off < p.first; });
  f.at = after == s.times.begin() ? s.times.front().second : std::prev(after)->second;
  f.span = std::move(span);
  m_waiting_bytes += f.span.bytes.size();
  m_waiting.emplace(Place{f.at, flow.index, m_cut++}, std::move(f));
}

void FrameStream::ended(const sim::CapturedFlow& flow) {
  auto it = m_streams.find(&flow);
  if (it == m_streams.end()) return;
  Stream& s = *it->second;
  s.cutter.finish([&](Span&& span) { cut(s, flow, std::move(span)); });
  m_earliest.erase(s.earliest);
  m_streams.erase(it);
}

void FrameStream::times_from(int64_t t) {
  m_from = t;
  release();
}

void FrameStream::release() {
  const int64_t before = m_earliest.empty() ? m_from : std::min(m_from, *m_earliest.begin());
  while (!m_waiting.empty() && std::get<0>(m_waiting.begin()->first) < before) {
    CapturedFrame f = std::move(m_waiting.begin()->second);
    m_waiting_bytes -= f.span.bytes.size();
    m_waiting.erase(m_waiting.begin());
    m_sink(std::move(f));
  }
}

void FrameStream::finish() {
  while (!m_streams.empty()) ended(*m_streams.begin()->first);
  for (auto& [place, f] : m_waiting) m_sink(std::move(f));
  m_waiting.clear();
  m_waiting_bytes = 0;
}

std::size_t FrameStream::held() const {
  std::size_t n = m_waiting_bytes;
  for (const auto& [flow, s] : m_streams) n += s->cutter.held();
  return n;
}

std::vector<CapturedFrame> cut_capture(const std::vector<sim::CapturedFlow>& flows, const std::vector<sim::KeyChange>& keys, const std::string& key) {
  std::vector<CapturedFrame> out;
  FrameStream frames(keys, key, [&out](CapturedFrame&& f) { out.push_back(std::move(f)); });
  for (const sim::CapturedFlow& flow : flows) {
    // each packet's bytes as the capture gave them; a stream without times as one packet of time 0
    for (std::size_t i = 0; i < std::max<std::size_t>(flow.times.size(), 1); ++i) {
      const std::size_t from = flow.times.empty() ? 0 : flow.times[i].first;
      const std::size_t to = i + 1 < flow.times.size() ? flow.times[i + 1].first : flow.bytes.size();
      if (to > from) frames.bytes_at(flow, from, flow.bytes.data() + from, to - from, flow.times.empty() ? 0 : flow.times[i].second);
    }
    frames.ended(flow);
  }
  frames.finish();
  return out;
}

Report read_frame(CapturedFrame& f, const std::vector<sim::KeyChange>& keys, const std::string& key) {
  Report r = key.empty() ? explain_with_log(f, keys) : explain(f.span, key);
  r.wire = true;
  if (r.accepted && !f.span.scanned) { // a link's bytes: only what the plug-in's scanner takes passes
    r.accepted = false;
    r.reasons.push_back(f.span.crlf ? std::string("the plug-in's scanner takes no frame here")
                                    : "the stream has " + f.span.ending + " after it, not CR LF: the plug-in queues no frame here");
  }
  return r;
}

std::vector<ExplainedFrame> explain_capture(const std::vector<sim::CapturedFlow>& flows, const std::vector<sim::KeyChange>& keys,
                                            const std::string& key) {
  std::vector<ExplainedFrame> out;
  for (CapturedFrame& f : cut_capture(flows, keys, key)) {
    Report r = read_frame(f, keys, key);
    out.push_back(ExplainedFrame{std::move(f), std::move(r)});
  }
  return out;
}

std::string capture_text(const CapturedFrame& f, std::set<std::size_t>* shown) {
  std::string out =
      "capture: " + sim::wall_text(f.at) + " " + f.flow->from + " -> " + f.flow->to + ", connection " + std::to_string(f.flow->connection);
  if (f.key) {
    out += "; key of the key log's line " + std::to_string(f.key->line);
    if (!f.key_in_force) out += f.key->at <= f.at ? " (a key before the one in force)" : " (a key after the one in force)";
    const std::string& what = f.key->what; // a key log is text anyone may have written: escaped, its length bounded
    if (!what.empty() && (!shown || shown->insert(f.key->line).second)) {
      std::size_t cut = std::min(what.size(), kKeyTextShown);
      while (cut < what.size() && cut > 0 && (static_cast<unsigned char>(what[cut]) & 0xC0) == 0x80) --cut; // on a character's start
      out += ", " + sim::readable_text(std::string_view(what).substr(0, cut));
      if (cut < what.size()) out += "... (" + std::to_string(what.size()) + " bytes)";
    }
  }
  return out + "\n";
}

std::string capture_json(const CapturedFrame& f) {
  // addresses are digits, dots, colons and brackets: nothing to escape
  std::string out = "\"time\":\"" + sim::wall_text(f.at) + "\",\"time_us\":" + std::to_string(f.at) + ",\"from\":\"" + f.flow->from + "\",\"to\":\"" +
                    f.flow->to + "\",\"connection\":" + std::to_string(f.flow->connection) + ",";
  if (f.key) out += "\"key_log_line\":" + std::to_string(f.key->line) + ",\"key_in_force\":" + (f.key_in_force ? "true," : "false,");
  return out;
}

bool looks_like_capture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char m[4] = {0, 0, 0, 0};
  if (!in.read(reinterpret_cast<char*>(m), 4)) return false;
  static const unsigned char kMagic[][4] = {
      {0xA1, 0xB2, 0xC3, 0xD4}, {0xD4, 0xC3, 0xB2, 0xA1}, // pcap, microseconds, either byte order
      {0xA1, 0xB2, 0x3C, 0x4D}, {0x4D, 0x3C, 0xB2, 0xA1}, // pcap, nanoseconds
      {0x0A, 0x0D, 0x0D, 0x0A},                           // pcapng
  };
  for (const auto& k : kMagic)
    if (std::memcmp(m, k, 4) == 0) return true;
  return false;
}

std::string key_log_beside(const std::string& capture) {
  std::string a = capture + ".keys";
  if (::access(a.c_str(), R_OK) == 0) return a;
  size_t slash = sys::last_separator(capture), dot = capture.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
    std::string b = capture.substr(0, dot) + ".keys";
    if (::access(b.c_str(), R_OK) == 0) return b;
  }
  return std::string();
}

} // namespace frametool
