// polmon-frame --file on a capture: each direction's stream cut into frames, with their times,
// each explained with the key in force when it was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Capture.h"
#include "Explain.h"

namespace frametool {

struct CapturedFrame {
  const sim::CapturedFlow* flow = nullptr;
  Span span;
  int64_t at = 0; // the time of the packet that carried its "##"
  const sim::KeyChange* key = nullptr; // the key log's line it was read with; null: --key or none
  bool key_in_force = true;            // false: another line's key than the one in force read it (below)
};

// Every frame of `flows`, in the order of their times (a stream's own order kept), not yet read.
// `flows` must outlive the result. The plug-in's scanner cuts each stream with `key` (--key), or
// else with the key of `keys` in force at each packet's time, set as the log changes.
std::vector<CapturedFrame> cut_capture(const std::vector<sim::CapturedFlow>& flows, const std::vector<sim::KeyChange>& keys,
                                       const std::string& key);
// Reads a frame: with `key` (16 bytes) when given; else with the key of `keys` in
// force at the frame's time, and when that one does not decrypt it, the nearest line's key that
// does, before or after it (the sender had not switched yet, the log's line came late, another
// link's key), 16 lines each way at most. `keys` must outlive `f`.
// Sets `f.key`, `f.key_in_force`.
Report read_frame(CapturedFrame& f, const std::vector<sim::KeyChange>& keys, const std::string& key);
// Both, for every frame (a capture's reports all at once: for small ones).
struct ExplainedFrame {
  CapturedFrame frame;
  Report report;
};
std::vector<ExplainedFrame> explain_capture(const std::vector<sim::CapturedFlow>& flows, const std::vector<sim::KeyChange>& keys,
                                           const std::string& key);

// What goes before a frame's report: its time, direction and connection, and the key log's line
// with the first kKeyTextShown bytes of its text; with `shown` (the lines whose text went out
// already), each line's text only the first time.
constexpr std::size_t kKeyTextShown = 120;
std::string capture_text(const CapturedFrame& f, std::set<std::size_t>* shown = nullptr);
// The same as JSON members, each followed by a comma, to open the frame's object with.
std::string capture_json(const CapturedFrame& f);

// Whether the file's first bytes are those of a pcap or pcapng file.
bool looks_like_capture(const std::string& path);
// The key log beside a capture: CAPTURE.keys, or CAPTURE with its extension replaced by .keys;
// empty when neither is there.
std::string key_log_beside(const std::string& capture);

} // namespace frametool
