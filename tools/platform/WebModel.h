// What the web view knows of a platform's session, in bounded memory: the link and its stations,
// a ring of recent frames, the latest value and a downsampled series per factor, the checks, the
// CSV rows not yet spooled, and a ring of the events sent to pages. No locking and no I/O here:
// WebView holds the lock and talks to browsers.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform.h"

namespace sim {

// A JSON string literal a page can hold anywhere: '<', '>', '&', U+2028 and U+2029 escaped,
// control characters escaped, every byte that is not UTF-8 replaced by U+FFFD.
std::string json_text(std::string_view text);
// A JSON document from elsewhere (the inspector's report) escaped the same way; JSON allows
// these escapes only inside strings, where they stand for the same characters.
std::string harden_json(const std::string& json);
// Keys never leave the platform: the value of every NewSK= item becomes ****.
std::string mask_keys(std::string text);
// One CSV cell: quoted when it holds a separator, a quote or a line end; a text starting like
// a spreadsheet formula gets a leading quote so it stays text.
std::string csv_cell(std::string_view text);
// The code tables' name of a factor code, "hydrogen chloride (氯化氢)"; empty when unknown.
std::string factor_label(std::string_view code);

// A series that keeps between kKeep and 2 kKeep points: when full, neighbours are averaged in
// pairs and later samples go in twice as many per point, so a day keeps its shape.
class Series {
public:
  static constexpr size_t kKeep = 512;
  void add(double t, double v);
  // The points, the unfinished one last.
  std::vector<std::pair<double, double>> points() const;
  unsigned stride() const { return m_stride; }

private:
  std::vector<std::pair<double, double>> m_points;
  double m_sum_t = 0, m_sum_v = 0;
  unsigned m_n = 0, m_stride = 1;
};

class WebModel {
public:
  static constexpr size_t kFrames = 300, kFrameBytes = 4u << 20;   // the frame ring
  static constexpr size_t kEvents = 2048, kEventBytes = 2u << 20;  // the event ring
  static constexpr size_t kFactors = 64, kStations = 16;
  static constexpr size_t kCsvPending = 8u << 20; // rows waiting for the spool thread

  explicit WebModel(std::string name) : m_name(std::move(name)) {}

  // Observed, with the wall-clock time in milliseconds.
  void link_up(int64_t wall_ms, const std::string& peer);
  void link_down(int64_t wall_ms);
  void frame(int64_t wall_ms, bool incoming, std::string_view bytes, Verdict verdict);
  // The platform's text verdict and counters; an event only when they changed.
  void checks(const std::string& summary, bool broken, const Platform::Counters& counters);
  // The web side's own figures, shown on the page.
  void web_figures(unsigned clients, unsigned dropped_clients, uint64_t csv_rows, uint64_t csv_dropped,
                   const std::string& csv_path);

  // The event stream: messages (id, event, data lines) after `after`, up to about max_bytes.
  // False when events after `after` already left the ring: the page must start over.
  bool events_after(uint64_t after, size_t max_bytes, std::string& out, uint64_t& last) const;
  uint64_t last_seq() const { return m_seq; }
  // A ring frame's bytes by its number; false when it left the ring.
  bool frame_bytes(uint64_t seq, std::string& bytes) const;

  // The whole state, copied out under the lock, written as JSON outside it.
  struct Snapshot;
  Snapshot snapshot() const;
  static std::string snapshot_json(const Snapshot& s);

  // CSV rows waiting to be written; taken by the spool thread.
  std::string take_csv() { return std::exchange(m_csv, std::string()); }
  size_t csv_pending() const { return m_csv.size(); }
  uint64_t csv_rows() const { return m_csv_rows; }
  uint64_t csv_dropped() const { return m_csv_dropped; }
  // `unit` came last, so files of the older layout keep their columns up to there.
  static const char* csv_header() { return "time,MN,CN,factor,field,value,flag,unit\r\n"; }

  // For the memory figures: bytes held by the rings.
  size_t ring_bytes() const { return m_frame_bytes + m_event_bytes; }

private:
  struct FrameEntry {
    uint64_t seq;
    std::string bytes;   // as on the wire, for the decode on demand
    std::string summary; // JSON of the log row
  };
  struct Station {
    std::string mn, version, charset = "ASCII";
    unsigned in = 0, out = 0;
    std::map<std::string, unsigned> rejected; // reason -> count
    int64_t last = 0;
  };
  struct Reading {
    std::string value, flag, data_time;
    std::string flag_meaning, notes; // the flag read, the code tables' notes on value and flag
    int64_t at = 0;
  };
  struct Latest {
    std::string code;
    Reading kinds[3]; // real-time, minute, hour
    int64_t at = 0;
  };

  void emit(const char* event, const std::string& data);
  Station* station(const std::string& mn);
  std::string stations_json() const;
  void values(int64_t wall_ms, const std::string& mn, const std::string& cn, const Segment& seg,
              const std::vector<std::pair<std::string, std::string>>& cp);

  std::string m_name;
  uint64_t m_seq = 0, m_frame_seq = 0;
  std::deque<std::pair<uint64_t, std::string>> m_events;
  size_t m_event_bytes = 0;
  std::deque<FrameEntry> m_frames;
  size_t m_frame_bytes = 0;

  std::string m_peer;
  int64_t m_since = 0;
  bool m_up = false;
  unsigned m_connections = 0;
  std::string m_last_mn;
  std::vector<Station> m_stations;
  Platform::Counters m_counters;
  std::string m_summary;
  bool m_broken = false;
  std::string m_web; // JSON of the web figures

  std::map<std::string, Latest> m_latest;
  std::map<std::pair<std::string, int>, Series> m_series; // (code, kind) -> points
  unsigned m_factors_ignored = 0;

  std::string m_csv;
  uint64_t m_csv_rows = 0, m_csv_dropped = 0;
};

struct WebModel::Snapshot {
  std::string name;
  uint64_t seq = 0;
  std::string stations, link, checks, web;
  std::vector<std::string> frames; // summaries, oldest first
  std::string latest;
  struct Plot {
    std::string code, kind;
    std::vector<std::pair<double, double>> points;
  };
  std::vector<Plot> series;
};

} // namespace sim
