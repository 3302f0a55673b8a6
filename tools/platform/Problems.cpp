#include "Problems.h"

namespace sim {

namespace {

// A problem's cause: its text with the QNs, times and MNs that tell one frame from the next
// masked (runs of six digits and more).
std::string cause_of(const std::string& what) {
  std::string key;
  key.reserve(what.size());
  for (size_t i = 0; i < what.size();) {
    size_t j = i;
    while (j < what.size() && what[j] >= '0' && what[j] <= '9') ++j;
    if (j - i >= 6) key += '#';
    else key.append(what, i, j == i ? 1 : j - i);
    i = j == i ? i + 1 : j;
  }
  return key;
}

} // namespace

void Problems::problem(const std::string& what, const std::string& cause) {
  if (++m_problem_count <= kKept) m_log("PROBLEM: " + what);
  const std::string key = cause.empty() ? cause_of(what) : cause;
  m_report.problem(what, key);
  auto it = m_cause_index.find(key);
  if (it != m_cause_index.end()) {
    ++m_causes[it->second].count;
  } else if (m_causes.size() < kKept) {
    m_cause_index.emplace(key, m_causes.size());
    m_causes.push_back(Cause{what, 1});
  } else {
    ++m_uncaused;
  }
}

void Problems::note(const std::string& what) {
  ++m_note_count;
  if (m_notes.size() >= kKept) return;
  m_notes.push_back(what);
  m_log("NOTE: " + what);
}

void Problems::note_lines(const Row& row, std::ostream& o) const {
  if (!m_note_count) return;
  row("notes:", std::to_string(m_note_count) + " (not faults)");
  for (const std::string& n : m_notes) o << "    - " << n << "\n";
  if (m_note_count > m_notes.size()) o << "    - and " << (m_note_count - m_notes.size()) << " more\n";
}

void Problems::cause_lines(std::ostream& o) const {
  for (const Cause& c : m_causes) o << "    - " << (c.count > 1 ? std::to_string(c.count) + " times, first: " : "") << c.first << "\n";
  if (m_uncaused) o << "    - and " << m_uncaused << " more\n";
}

} // namespace sim
