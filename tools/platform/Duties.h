// Rules on what a station sends over a connection as a whole, beside the per-frame checks of
// the judge (Judge.cpp): the system code (ST) its data frames carry, and a frame it should send once per
// connection coming again and again (a script that takes every refused Send for a dead link).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/common/Hj212Text.h"

namespace sim {

// A data frame's CN: 2xxx (data) or 3xxx (the station's own state).
bool data_cn(const std::string& cn);
// The 2025 duties: the station's own (heartbeat 9015, key request 1014, hardware ids 1001), which
// it must do unasked, and a new MN (1002). "leave CN=..." in a scenario leaves one out.
bool is_duty_2025(const std::string& cn);
std::string duties_2025_list();

class StationDuties {
public:
  using Problem = std::function<void(const std::string& what, const std::string& cause)>;
  // `st`: the system code requests carry, which --st gave (`given`) or the one most of the
  // station's data frames carry (the commonest of all until one comes); kept up to date here.
  StationDuties(std::string& st, bool given, Problem problem) : m_st(st), m_given(given), m_problem(std::move(problem)) {}

  void connected() { m_per_link.clear(); }
  void frame(const Segment& seg);
  // The run is over: two codes carried by as many frames each, the later one is blamed.
  void stopped();
  // The run is over: a 2025 station's own duties it never did, save those `left_out`.
  void finish(const std::vector<std::string>& left_out);

  static constexpr unsigned kOncePerLink = 3; // hardware ids, key requests: a few on a link, a flood beyond

private:
  // The frames carrying one system code, and the first of them, which a problem names.
  struct Code {
    std::string st, qn, cn;
    unsigned frames = 0;
  };
  static constexpr std::size_t kCodes = 8; // a station that makes up a code per frame is judged by its first ones
  // The code most frames carry, the earlier seen on a tie.
  const Code& leader() const;
  void blame(const Code& odd, const std::string& code, const char* whose);
  std::string& m_st;
  bool m_given;
  bool m_st_told = false;
  std::vector<Code> m_codes; // in the order first seen
  std::map<std::string, unsigned> m_per_link;
  std::map<std::string, unsigned>
      m_own; // CN -> the station's own duty frames in the run // CN -> frames on this connection, of the CNs sent once per link
  Problem m_problem;
};

} // namespace sim
