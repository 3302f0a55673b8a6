#include "Duties.h"

#include <algorithm>

namespace sim {

namespace {
// The station's own 2025 duties, unasked: CN and what it is.
const std::pair<const char*, const char*> kOwnDuties[] = {{"9015", "a heartbeat"}, {"1014", "a key request"}, {"1001", "its hardware ids"}};

// Frames a station sends when a link starts (2025: its hardware ids, its key request), not in a stream.
bool once_per_link(const std::string& cn) { return cn == "1001" || cn == "1014"; }
} // namespace

bool data_cn(const std::string& cn) { return cn.size() == 4 && (cn[0] == '2' || cn[0] == '3'); }

void StationDuties::frame(const Segment& seg) {
  const std::string cn = seg.value("CN"), qn = seg.value("QN"), st = seg.value("ST");
  for (const auto& d : kOwnDuties)
    if (cn == d.first) ++m_own[cn];
  if (once_per_link(cn) && ++m_per_link[cn] == kOncePerLink + 1)
    m_problem("a flood of CN=" + cn + ": more than " + std::to_string(kOncePerLink) +
                  " on one connection (a station that takes a refused Send for a dead link starts the link again and again)",
              "a flood of CN=" + cn);
  if (!data_cn(cn)) return;
  if (m_given) {
    if (st != m_st && !m_st_told) blame(Code{st, qn, cn, 1}, m_st, " (--st)");
    return;
  }
  auto it = std::find_if(m_codes.begin(), m_codes.end(), [&](const Code& c) { return c.st == st; });
  if (it != m_codes.end()) ++it->frames;
  else if (m_codes.size() < kCodes) m_codes.push_back(Code{st, qn, cn, 1});
  const Code& most = leader();
  m_st = most.st; // the station's own system code, which requests carry from now on
  if (m_st_told) return;
  // the frames the others outnumber are the odd ones, whichever came first
  for (const Code& c : m_codes)
    if (c.frames < most.frames) return blame(c, most.st, " (most of its data frames)");
}

void StationDuties::stopped() {
  if (m_st_told || m_codes.size() < 2) return;
  const Code& most = leader();
  for (auto c = m_codes.rbegin(); c != m_codes.rend(); ++c)
    if (&*c != &most) return blame(*c, most.st, " (the code of its first data frames; as many frames carry each)");
}

const StationDuties::Code& StationDuties::leader() const {
  const Code* most = &m_codes.front();
  for (const Code& c : m_codes)
    if (c.frames > most->frames) most = &c;
  return *most;
}

void StationDuties::blame(const Code& odd, const std::string& code, const char* whose) {
  m_st_told = true; // once: a station on another code sends every frame so
  m_problem("data frame QN " + odd.qn + " CN=" + odd.cn + " carries ST=" + odd.st + ", the station's system code is " + code + whose +
                (odd.frames > 1 ? " (" + std::to_string(odd.frames) + " data frames carry it)" : std::string()),
            "data frames carry another ST");
}

void StationDuties::finish(const std::vector<std::string>& left_out) {
  for (const auto& d : kOwnDuties) {
    const bool left = std::find(left_out.begin(), left_out.end(), d.first) != left_out.end();
    if (!left && !m_own.count(d.first))
      m_problem(std::string("the station never sent ") + d.second + " (CN=" + d.first + "), a 2025 station's duty", std::string("no CN=") + d.first);
  }
}

bool is_duty_2025(const std::string& cn) {
  if (cn == "1002") return true;
  for (const auto& d : kOwnDuties)
    if (cn == d.first) return true;
  return false;
}

std::string duties_2025_list() { return "1002 (new MN), 1014 (key pushed, key request), 9015 (heartbeat), 1001 (hardware ids)"; }

} // namespace sim
