// What a run ends with: the summary's rows, the verdict, and the header of the acceptance report,
// read from the figures of the platform's parts and what the platform counted over the link.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Report.h"
#include "Scenario.h"

namespace codes {
class ValueStats;
}

namespace sim {

class Flows2025;
class FrameJudge;
class Periods;
class Problems;
class RequestSender;
class Requests;
class UploadTally;

// What the platform counts over the link itself.
struct LinkFigures {
  std::string peer, station_mn;
  unsigned connections = 0, frames_in = 0, answers_sent = 0, bad_frames = 0, junk_bytes = 0;
  // --drop-link took the link down, so long after the station first came
  bool dropped = false;
  int64_t dropped_after_ms = 0;
};

class Summary {
public:
  struct Parts {
    const PlatformOptions& opt;
    const FrameJudge& judge;
    const Requests& ledger;
    const RequestSender& sender;
    const UploadTally& tally;
    const Periods& periods;
    const codes::ValueStats& values;
    const Problems& problems;
    const std::unique_ptr<Flows2025>& flows;
  };
  Summary(const Parts& parts, LinkFigures link) : m_parts(parts), m_link(std::move(link)) {}
  bool broken() const;
  // "OK", "BROKEN (N problems)" or "NO STATION".
  std::string verdict() const;
  std::string text() const;
  Report::Header report_header() const;

private:
  // The rows of the station's data: uploads and their rate, history answers, resends.
  void data_rows(const std::function<void(const char*, const std::string&)>& row) const;
  // The rows of the standard's checks and of the key.
  void standard_rows(const std::function<void(const char*, const std::string&)>& row) const;
  Parts m_parts;
  LinkFigures m_link;
};

} // namespace sim
