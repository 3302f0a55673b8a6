// The platform's problems and notes as a run finds them: each problem counted under its cause and
// handed to the report, the first ones logged; notes apart, as they leave the verdict OK.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Report.h"

namespace sim {

class Problems {
public:
  using Log = std::function<void(const std::string&)>;
  using Row = std::function<void(const char*, const std::string&)>;

  Problems(Log log, Report& report) : m_log(std::move(log)), m_report(report) {}
  // A fault. Problems of one cause are counted under its first: `cause` names it when `what`
  // varies by more than its QNs, times and MNs (which are masked to find it).
  void problem(const std::string& what, const std::string& cause = std::string());
  // A deviation that is no fault: shown in the summary, the verdict stays OK.
  void note(const std::string& what);
  size_t count() const { return m_problem_count; }
  // The summary's "notes:" row with the notes kept under it; nothing when there were none.
  void note_lines(const Row& row, std::ostream& o) const;
  // The causes under the verdict, each with its count and first problem.
  void cause_lines(std::ostream& o) const;

private:
  static constexpr size_t kKept = 100; // a flooding station must not flood the log nor the memory
  struct Cause {
    std::string first;
    size_t count = 0;
  };
  Log m_log;
  Report& m_report;
  std::vector<Cause> m_causes;                 // in the order they first went wrong, kKept at most
  std::map<std::string, size_t> m_cause_index; // cause -> its place in m_causes
  std::vector<std::string> m_notes;
  size_t m_problem_count = 0, m_note_count = 0, m_uncaused = 0; // m_uncaused: problems of causes beyond those kept
};

} // namespace sim
