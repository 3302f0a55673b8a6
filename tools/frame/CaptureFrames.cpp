#include "CaptureFrames.h"

#include "Hj212Text.h"
#include "System.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

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

// The key in force along a stream: at each packet's time, the key log's line then (the first
// line's before it, as a frame is read), or `key` throughout.
std::vector<KeyFrom> keys_along(const sim::CapturedFlow& flow, const std::vector<sim::KeyChange>& keys, const std::string& key) {
  if (!key.empty() || keys.empty()) return {KeyFrom{0, key}};
  std::vector<KeyFrom> out;
  for (const auto& [offset, time] : flow.times) {
    auto after = std::upper_bound(keys.begin(), keys.end(), time, [](int64_t t, const sim::KeyChange& k) { return t < k.at; });
    const std::string& in_force = after == keys.begin() ? keys.front().key : std::prev(after)->key;
    if (out.empty() || out.back().key != in_force) out.push_back(KeyFrom{out.empty() ? 0 : offset, in_force});
  }
  if (out.empty()) out.push_back(KeyFrom{0, keys.front().key});
  return out;
}

} // namespace

std::vector<CapturedFrame> cut_capture(const std::vector<sim::CapturedFlow>& flows, const std::vector<sim::KeyChange>& keys,
                                       const std::string& key) {
  std::vector<CapturedFrame> out;
  for (const sim::CapturedFlow& flow : flows) {
    for (Span& span : find_spans(flow.bytes, keys_along(flow, keys, key))) {
      out.emplace_back();
      CapturedFrame& f = out.back();
      f.flow = &flow;
      f.at = flow.time_at(span.offset);
      f.span = std::move(span);
    }
  }
  // each stream is in time order already; the streams are merged by sorting positions, so each
  // frame moves once
  std::vector<size_t> order(out.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&out](size_t a, size_t b) { return out[a].at < out[b].at; });
  std::vector<CapturedFrame> sorted;
  sorted.reserve(out.size());
  for (size_t i : order) sorted.push_back(std::move(out[i]));
  return sorted;
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
  std::string out = "capture: " + sim::wall_text(f.at) + " " + f.flow->from + " -> " + f.flow->to + ", connection " +
                    std::to_string(f.flow->connection);
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
  std::string out = "\"time\":\"" + sim::wall_text(f.at) + "\",\"time_us\":" + std::to_string(f.at) + ",\"from\":\"" + f.flow->from +
                    "\",\"to\":\"" + f.flow->to + "\",\"connection\":" + std::to_string(f.flow->connection) + ",";
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
