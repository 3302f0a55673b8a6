#include "Duties.h"

namespace sim {

namespace {
// Frames a station sends when a link starts (2025: its hardware ids, its key request), not in a stream.
bool once_per_link(const std::string& cn) { return cn == "1001" || cn == "1014"; }
bool data_cn(const std::string& cn) { return cn.size() == 4 && (cn[0] == '2' || cn[0] == '3'); }
} // namespace

void StationDuties::frame(const Segment& seg) {
  const std::string cn = seg.value("CN"), qn = seg.value("QN"), st = seg.value("ST");
  if (once_per_link(cn) && ++m_per_link[cn] == kOncePerLink + 1)
    m_problem("a flood of CN=" + cn + ": more than " + std::to_string(kOncePerLink) +
                  " on one connection (a station that takes a refused Send for a dead link starts the link again and again)",
              "a flood of CN=" + cn);
  if (!data_cn(cn)) return;
  if (!m_given && !m_learnt) {
    m_learnt = true;
    m_st = st; // the station's own system code, which requests carry from now on
    return;
  }
  if (st == m_st || m_st_told) return;
  m_st_told = true; // once: a station on another code sends every frame so
  m_problem("data frame QN " + qn + " CN=" + cn + " carries ST=" + st + ", the station's system code is " + m_st +
                (m_given ? " (--st)" : " (its first data frame)"),
            "data frames carry another ST");
}

} // namespace sim
