// Rules on what a station sends over a connection as a whole, beside the per-frame checks of
// the judge (Judge.cpp): the system code (ST) its data frames carry, and a frame it should send once per
// connection coming again and again (a script that takes every refused Send for a dead link).
#pragma once

#include <functional>
#include <map>
#include <string>

#include "Hj212Text.h"

namespace sim {

class StationDuties {
public:
  using Problem = std::function<void(const std::string& what, const std::string& cause)>;
  // `st`: the system code requests carry, which --st gave (`given`) or, until the station's first
  // data frame sets it, the commonest one; kept up to date here.
  StationDuties(std::string& st, bool given, Problem problem) : m_st(st), m_given(given), m_problem(std::move(problem)) {}

  void connected() { m_per_link.clear(); }
  void frame(const Segment& seg);
  // The run is over: a 2025 station's own duties it never did, save those `left_out`.
  void finish(const std::vector<std::string>& left_out);

  static constexpr unsigned kOncePerLink = 3; // hardware ids, key requests: a few on a link, a flood beyond

private:
  std::string& m_st;
  bool m_given, m_learnt = false;
  bool m_st_told = false;
  std::map<std::string, unsigned> m_per_link;
  std::map<std::string, unsigned> m_own; // CN -> the station's own duty frames in the run // CN -> frames on this connection, of the CNs sent once per link
  Problem m_problem;
};

} // namespace sim
