// polmon-frame --file on a capture: each direction's stream cut into frames, with their times,
// each explained with the key in force when it was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tools/common/Capture.h"
#include "tools/common/Explain.h"

namespace frametool {

struct CapturedFrame {
  const sim::CapturedFlow* flow = nullptr;
  Span span;
  int64_t at = 0;                      // the time of the packet that carried its "##"
  const sim::KeyChange* key = nullptr; // the key log's line it was read with; null: --key or none
  bool key_in_force = true;            // false: another line's key than the one in force read it (below)
};

// A capture's frames as it is read (sim::read_capture's sink): each stream cut as its bytes come,
// with the key in force at each packet's time, and each frame handed on in the order of their
// times (ties: the flows' order, then a stream's own) as soon as no frame to come can go before
// it. Held: per stream what its cutter holds and the times of those bytes, and the frames whose
// place a stream's held bytes or the capture's times still to come may precede.
class FrameStream : public sim::FlowSink {
public:
  using Sink = std::function<void(CapturedFrame&&)>;
  // The key of `keys` in force at each packet's time cuts, or `key` (--key) throughout. `keys`
  // must outlive the frames, and the flows given must too.
  FrameStream(const std::vector<sim::KeyChange>& keys, const std::string& key, Sink sink);
  ~FrameStream() override;
  FrameStream(const FrameStream&) = delete;
  FrameStream& operator=(const FrameStream&) = delete;
  void bytes(const sim::CapturedFlow& flow, const char* data, std::size_t n, int64_t t) override;
  // The same for bytes at `offset` of the flow's stream (a stream already held whole).
  void bytes_at(const sim::CapturedFlow& flow, std::uint64_t offset, const char* data, std::size_t n, int64_t t);
  void ended(const sim::CapturedFlow& flow) override;
  void times_from(int64_t t) override;
  // The capture ended: every frame still held, in order (each stream ended first).
  void finish();
  // Bytes held: the streams' cutters' and the frames' not yet handed on.
  std::size_t held() const;

private:
  struct Stream;
  // A frame's place: its time, its flow's place, the order it was cut in.
  using Place = std::tuple<int64_t, std::size_t, std::uint64_t>;
  void cut(Stream& stream, const sim::CapturedFlow& flow, Span&& span);
  void release();

  const std::vector<sim::KeyChange>& m_keys;
  std::string m_key;
  Sink m_sink;
  std::map<const sim::CapturedFlow*, std::unique_ptr<Stream>> m_streams;
  std::multiset<int64_t> m_earliest;        // per stream, the earliest time of the bytes its cutter holds
  int64_t m_from;                           // no byte to come was carried by a packet of a time before it
  std::map<Place, CapturedFrame> m_waiting; // cut, not yet handed on
  std::size_t m_waiting_bytes = 0;
  std::uint64_t m_cut = 0; // frames cut so far
};

// Every frame of `flows`, in the order of their times (a stream's own order kept), not yet read.
// `flows` must outlive the result. The plug-in's scanner cuts each stream with `key` (--key), or
// else with the key of `keys` in force at each packet's time, set as the log changes.
std::vector<CapturedFrame> cut_capture(const std::vector<sim::CapturedFlow>& flows, const std::vector<sim::KeyChange>& keys, const std::string& key);
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
