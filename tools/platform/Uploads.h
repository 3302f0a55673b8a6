// The station's data frames counted per CN: uploads with their first and last arrival, and apart
// from them the records answering a history request and the resends (RF=1), as neither is an upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

namespace sim {

// Uploads of one CN as they arrived: a count, not a list, for a day-long run.
struct Arrivals {
  unsigned count = 0;
  int64_t first = 0, last = 0;
};

class UploadTally {
public:
  void upload(const std::string& cn, int64_t now);
  void history(const std::string& cn) { ++m_history[cn]; }
  void resend(const std::string& cn) { ++m_resent[cn]; }
  // Whether an upload of `cn` with this QN (and PNO, for one in packets) came before, among the
  // last kRemembered; it is remembered now.
  bool again(const std::string& cn, const std::string& qn, const std::string& pno);
  // Uploads of `cn` so far.
  unsigned count(const std::string& cn) const;
  // Their arrivals, or null when none came.
  const Arrivals* arrivals(const std::string& cn) const;
  // The summary's texts: "CN=2011 x12 (every 30.0 s); ..." ("none"), and the history and resend
  // counts ("CN=2051 x3; ...", empty when none).
  std::string uploads_text() const;
  std::string history_text() const { return counts_text(m_history); }
  std::string resends_text() const { return counts_text(m_resent); }

private:
  static constexpr std::size_t kRemembered = 256; // a day-long run remembers its last uploads, not all
  static std::string counts_text(const std::map<std::string, unsigned>& counts);
  std::set<std::string> m_seen;    // "CN QN PNO" of the last uploads
  std::deque<std::string> m_order; // the same, oldest first
  std::map<std::string, Arrivals> m_uploads;
  std::map<std::string, unsigned> m_history, m_resent;
};

} // namespace sim
