// Period data: the uploads of the CNs in PlatformOptions::periods (minute, hourly, daily data).
// Each record is stamped with its period's start, sent once the period is over, one a period; at
// the end, the periods left out between records and the whole periods of the run never sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "Options.h"
#include "Problems.h"

namespace sim {

class Periods {
public:
  static constexpr size_t kKept = 100000; // records kept per CN: a day of 1 s periods

  Periods(const PlatformOptions& options, Problems& problems) : m_opt(options), m_problems(problems) {}
  // The first connection: the run's periods are the whole seconds after it.
  void run_started() { m_start_local_s = local_now_s(m_opt) + 1; } // a second begun before it is the station's own
  // An upload (or a resend, RF=1) of `cn` with its DataTime. The same upload again, and one without
  // a readable DataTime, are every upload's faults, told where uploads are (Platform::upload_fields).
  void record(const std::string& cn, const std::string& qn, const std::string& datatime, bool resend);
  // At the end, once: every CN whose records left periods out is a problem.
  void judge();
  // The summary's "period data:" row; empty when no CN has any.
  std::string summary() const;
  // An uploads step's time without timeout=: for period data, the periods the count takes and one more.
  int64_t uploads_timeout_ms(const std::string& cn, int count) const;

private:
  struct Data {
    std::map<int64_t, std::string> times; // DataTimes of uploads and resends, the newest kKept, with their QNs
    unsigned records = 0;                 // uploads (resends apart)
    int64_t folded_missing = 0;           // periods missing among the DataTimes no longer kept
  };
  // Missing periods of one CN between its first and its last record; `first_gap`: the DataTime before the first one.
  int64_t missing(const std::string& cn, const Data& d, int64_t* first_gap) const;
  // Whole periods of the run (first connection to its end) before the CN's first record or after
  // its last, or all of them when none came: period data never sent leave no gap between records.
  int64_t unsent(const std::string& cn) const;
  // The record's stamp against its period and its sending, and a second record of one period.
  void check_stamp(const std::string& cn, const std::string& qn, const std::string& datatime, int64_t t, const Data& d) const;
  const PlatformOptions& m_opt;
  Problems& m_problems;
  std::map<std::string, Data> m_data;
  bool m_judged = false;
  int64_t m_start_local_s = -1, m_end_local_s = -1; // the run on the platform's local clock
};

} // namespace sim
