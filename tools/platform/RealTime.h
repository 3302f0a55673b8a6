// Real-time uploads (CN=2011) and what a request the station carried out does to them: 2012 stops
// them, 1062 sets their interval, 2011 starts them again. Each is checked against the uploads
// that follow, with the station's clock (its QNs) set against the platform's.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "Options.h"
#include "Problems.h"
#include "Uploads.h"

namespace sim {

class RealTime {
public:
  // `uploads`: the platform's tally (the 2011 arrivals tell the interval before a setting).
  RealTime(const PlatformOptions& options, Problems& problems, const UploadTally& uploads)
      : m_opt(options), m_problems(problems), m_uploads(uploads) {}
  // A real-time upload arrived (after the platform counted it).
  void upload(const std::string& qn, int64_t now);
  // A request of `cn` the station carried out (`rtd_interval`: the RtdInterval it set, 0 when
  // none): its effect on the uploads from now on.
  void took_effect(const std::string& cn, int rtd_interval, int64_t now);
  // The run of real-time uploads since the RtdInterval set ends (link down, stopped, started
  // again): measured apart from the next, so the time between is no interval.
  void fold();
  // Whether uploads since the RtdInterval set kept another interval (a problem, once per setting);
  // `gave_up`: an uploads step ran out of time, so the interval before the setting may tell.
  bool judge(bool gave_up);

private:
  // The interval real-time uploads are due at: the one set, else the one they came at, else the reply timeout.
  int64_t interval_ms() const;
  const PlatformOptions& m_opt;
  Problems& m_problems;
  const UploadTally& m_uploads;
  struct Effects {
    int64_t stopped_at = -1; // 2012 carried out then: no real-time upload is due later than one interval on
    int rtd_s = 0;           // RtdInterval an accepted 1062 set; 0: none
    Arrivals since_set;      // real-time uploads after it, since the link last came up
    int64_t folded_ms = 0;   // the spans of their runs on earlier links: a link down is no interval
    unsigned folded_gaps = 0;
    double before_ms = 0; // the interval they came at before it; 0: unknown
    bool judged = false;  // the setting was weighed against the uploads
  } m_effects;
  // How far a real-time upload's QN (the station's clock) runs ahead of its arrival on the
  // platform's, the largest seen: the clock offset less the quickest transit.
  struct ClockOffset {
    bool known = false;
    int64_t ahead_ms = 0;
  } m_clock;
  static constexpr int64_t kClockSlackMs = 500; // a QN's own rounding and the transit the estimate missed
};

} // namespace sim
