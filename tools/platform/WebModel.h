// What the web view knows of a platform's session, in bounded memory: the link and its stations,
// a ring of recent frames, the latest value and a downsampled series per factor, the checks, the
// CSV rows not yet spooled, and a ring of the events sent to pages. No locking and no I/O here:
// WebView holds the lock and talks to browsers.
#pragma once

#include <climits>
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
// The same in one language each, for a page that shows one: {"hydrogen chloride", "氯化氢"}.
std::pair<std::string, std::string> factor_names(std::string_view code);

// How a data frame came: an upload, a resend of one (RF=1), or an answer to a history request.
enum class DataKind { Upload, Resend, History };
const char* data_kind_name(DataKind kind);

// A series by data time that keeps between kKeep and 2 kKeep points: when full, neighbours are
// averaged in pairs and later samples go in twice as many per point, so a day keeps its shape.
// A point out of time order (a resend, newest first) or a marked one goes in alone at its time.
class Series {
public:
  static constexpr size_t kKeep = 512;
  struct Point {
    double t, v;
    int mark; // DataKind: an averaged point carries a mark when either of its pair did
  };
  void add(double t, double v, DataKind kind = DataKind::Upload);
  // The points in time order, the unfinished one in its place.
  std::vector<Point> points() const;
  unsigned stride() const { return m_stride; }

private:
  void flush();
  std::vector<Point> m_points;
  double m_sum_t = 0, m_sum_v = 0;
  unsigned m_n = 0, m_stride = 1;
};

// The periods one CN's data times cover, in bounded memory: runs of data times no more than one
// and a half periods apart, and what is missing between them. The period is the most common step
// between neighbouring data times, so a shortened period (a trial) reads as well as 60 s or 1 h.
class Completeness {
public:
  static constexpr size_t kRuns = 256, kSteps = 16;
  struct Gap {
    int64_t after, before; // the data times either side
    uint64_t missing;
  };
  void add(int64_t t, DataKind kind);
  int64_t period() const { return m_period; }
  uint64_t received() const { return m_by_kind[0] + m_by_kind[1] + m_by_kind[2]; }
  uint64_t received(DataKind kind) const { return m_by_kind[static_cast<int>(kind)]; }
  uint64_t duplicates() const { return m_duplicates; }
  uint64_t missing() const;
  int64_t first() const { return m_runs.empty() ? 0 : m_runs.begin()->first; }
  int64_t last() const { return m_runs.empty() ? 0 : m_runs.rbegin()->second.end; }
  // The newest `max` gaps, oldest first; gaps folded away to bound memory are only counted.
  std::vector<Gap> gaps(size_t max) const;
  size_t gap_count() const; // gaps with periods missing, listed or not
  std::string json(const std::string& cn) const;

private:
  struct Run {
    int64_t end;
  };
  // The periods missing between two data times, within the span of the uploads and resends: a
  // history answer of a day long before the session is received, the time between is not missing.
  uint64_t missing_between(int64_t end, int64_t start) const;
  void merge_runs();                   // after the period grew: runs now close enough become one
  std::map<int64_t, Run> m_runs;       // start -> run
  std::map<int64_t, uint64_t> m_steps; // step -> times seen
  int64_t m_period = 0, m_last = -1;
  int64_t m_live_first = INT64_MAX, m_live_last = INT64_MIN; // the uploads' and resends' data times
  uint64_t m_by_kind[3] = {0, 0, 0};
  uint64_t m_duplicates = 0, m_folded = 0; // missing periods in gaps folded into a run
};

class WebModel {
public:
  static constexpr size_t kFrames = 300, kFrameBytes = 4u << 20;  // the frame ring
  static constexpr size_t kEvents = 2048, kEventBytes = 2u << 20; // the event ring
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
  void web_figures(unsigned clients, unsigned dropped_clients, uint64_t csv_rows, uint64_t csv_dropped, const std::string& csv_path);

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
  // Columns only ever go on at the end, so files of the older layout keep their columns up to there.
  static const char* csv_header() { return "time,MN,CN,factor,field,value,flag,unit,QN,RF,kind\r\n"; }

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
    std::string previous; // the MN before the last 1002 the station took
    int64_t changed = 0;  // when it first carried the new one
    unsigned changes = 0;
    unsigned in = 0, out = 0;
    std::map<std::string, unsigned> rejected; // reason -> count
    int64_t last = 0;
  };
  static constexpr int kKinds = 4;  // real-time 2011, minute 2051, hour 2061, day 2031
  static constexpr int kFields = 5; // Rtd, Min, Avg, Max, Cou
  struct Reading {
    std::string fields[kFields];
    std::string flag, data_time;
    std::string flag_meaning, notes; // the flag read, the code tables' notes on value and flag
    int64_t x = -1;                  // the data time in ms; the arrival when the frame gave none
    DataKind source = DataKind::Upload;
    int64_t at = 0;
  };
  struct Latest {
    std::string code;
    Reading kinds[kKinds];
    int64_t at = 0;
  };
  struct Asked { // a request whose answers the model tells apart: history (BeginTime), new MN (1002)
    std::string qn, cn, mn, new_mn;
  };

  void emit(const char* event, const std::string& data);
  Station* station(const std::string& mn);
  // Outgoing requests remembered; an incoming frame carrying a 1002's new MN renames its station.
  void request_seen(const Segment& seg);
  void mn_seen(const std::string& mn, int64_t wall_ms);
  DataKind data_kind(const Segment& seg) const;
  std::string stations_json() const;
  void values(int64_t wall_ms, const std::string& mn, const std::string& cn, const Segment& seg,
              const std::vector<std::pair<std::string, std::string>>& cp);
  // A data frame as values() reads it: where its CSV rows, readings and plot points go.
  struct ValuesFrame {
    std::string mn, cn, time, data_time, row_end;
    int kind = -1;                  // index of kKindNames; -1: not one of the plotted data
    const char* main_field = "Avg"; // the field plotted
    int64_t x = 0;                  // its data time in ms; the arrival when the frame gave none
    DataKind source = DataKind::Upload;
  };
  // One factor's field of it: its CSV row and its reading taken, its JSON for the event returned.
  std::string value_item(const ValuesFrame& f, const codes::Item& item, const codes::Item* flag_item, std::map<std::string, Reading>& readings);
  // The frame's readings become the latest of their factors unless they are older.
  void keep_latest(const ValuesFrame& f, int64_t wall_ms, std::map<std::string, Reading>& readings);

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
  std::map<std::string, Completeness> m_completeness;     // 2051, 2061, 2031
  std::deque<Asked> m_asked;                              // the last kAsked requests
  static constexpr size_t kAsked = 32;
  std::map<std::string, std::string> m_renamed; // old MN -> new, bounded as the stations
  unsigned m_factors_ignored = 0;

  std::string m_csv;
  uint64_t m_csv_rows = 0, m_csv_dropped = 0;
};

struct WebModel::Snapshot {
  std::string name;
  uint64_t seq = 0;
  std::string stations, link, checks, web;
  std::vector<std::string> frames; // summaries, oldest first
  std::string latest, completeness;
  struct Plot {
    std::string code, kind;
    std::vector<Series::Point> points;
  };
  std::vector<Plot> series;
};

} // namespace sim
