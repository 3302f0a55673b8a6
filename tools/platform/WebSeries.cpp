// The web view's plots and its completeness of period data: a bounded series by data time, and
// the runs of periods that came with the gaps between them.
#include "WebModel.h"

#include <algorithm>

namespace sim {

void Series::flush() {
  if (!m_n) return;
  m_points.push_back(Point{m_sum_t / m_n, m_sum_v / m_n, 0});
  m_sum_t = m_sum_v = 0;
  m_n = 0;
}

void Series::add(double t, double v, DataKind kind) {
  bool in_order = (m_n == 0 || t >= m_sum_t / m_n) && (m_points.empty() || t >= m_points.back().t);
  if (in_order && kind == DataKind::Upload) {
    m_sum_t += t;
    m_sum_v += v;
    if (++m_n < m_stride) return;
    flush();
  } else { // alone at its time, so a resend neither runs the line back nor hides in an average
    flush();
    Point p{t, v, static_cast<int>(kind)};
    auto at = std::upper_bound(m_points.begin(), m_points.end(), t, [](double x, const Point& q) { return x < q.t; });
    m_points.insert(at, p);
  }
  if (m_points.size() < 2 * kKeep) return;
  for (size_t i = 0; i < kKeep; ++i) {
    const Point &a = m_points[2 * i], &b = m_points[2 * i + 1];
    m_points[i] = Point{(a.t + b.t) / 2, (a.v + b.v) / 2, a.mark ? a.mark : b.mark};
  }
  m_points.resize(kKeep);
  m_stride *= 2;
}

std::vector<Series::Point> Series::points() const {
  std::vector<Point> out = m_points;
  if (m_n) out.push_back(Point{m_sum_t / m_n, m_sum_v / m_n, 0});
  return out;
}

uint64_t Completeness::missing_between(int64_t end, int64_t start) const {
  if (end < m_live_first || start > m_live_last) return 0;
  if (m_period <= 0 || start <= end) return 0;
  int64_t periods = (start - end + m_period / 2) / m_period; // the steps from one to the other
  return periods > 1 ? static_cast<uint64_t>(periods - 1) : 0;
}

uint64_t Completeness::missing() const {
  uint64_t n = m_folded;
  for (auto it = m_runs.begin(); it != m_runs.end(); ++it) {
    auto next = std::next(it);
    if (next != m_runs.end()) n += missing_between(it->second.end, next->first);
  }
  return n;
}

void Completeness::merge_runs() {
  const int64_t reach = m_period + m_period / 2;
  for (auto it = m_runs.begin(); it != m_runs.end();) {
    auto next = std::next(it);
    if (next != m_runs.end() && next->first - it->second.end <= reach) {
      it->second.end = std::max(it->second.end, next->second.end);
      m_runs.erase(next);
    } else {
      it = next;
    }
  }
}

void Completeness::add(int64_t t, DataKind kind) {
  ++m_by_kind[static_cast<int>(kind)];
  if (kind != DataKind::History) {
    m_live_first = std::min(m_live_first, t);
    m_live_last = std::max(m_live_last, t);
  }
  // the step from the newest data time: uploads in order tell the period, a backlog does not
  if (m_last >= 0 && t > m_last) {
    int64_t step = t - m_last;
    if (m_steps.size() >= kSteps && !m_steps.count(step)) { // bounded: the rarest step goes
      auto rare = std::min_element(m_steps.begin(), m_steps.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
      m_steps.erase(rare);
    }
    ++m_steps[step];
    auto common = std::max_element(m_steps.begin(), m_steps.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    int64_t before = m_period;
    m_period = common->first;
    if (m_period > before) merge_runs();
  }
  if (t > m_last) m_last = t;
  const int64_t reach = m_period + m_period / 2;
  auto next = m_runs.upper_bound(t);
  auto prev = next == m_runs.begin() ? m_runs.end() : std::prev(next);
  if (prev != m_runs.end() && t <= prev->second.end) {
    ++m_duplicates; // within a run: that period came before
    return;
  }
  bool joins_prev = prev != m_runs.end() && t - prev->second.end <= reach;
  bool joins_next = next != m_runs.end() && next->first - t <= reach;
  if (joins_prev && joins_next) {
    prev->second.end = next->second.end;
    m_runs.erase(next);
  } else if (joins_prev) {
    prev->second.end = t;
  } else if (joins_next) {
    int64_t end = next->second.end;
    m_runs.erase(next);
    m_runs.emplace(t, Run{end});
  } else {
    m_runs.emplace(t, Run{t});
  }
  if (m_runs.size() > kRuns) { // the oldest gap is folded: its count stays, its times go
    auto a = m_runs.begin(), b = std::next(a);
    m_folded += missing_between(a->second.end, b->first);
    a->second.end = b->second.end;
    m_runs.erase(b);
  }
}

size_t Completeness::gap_count() const {
  size_t n = 0;
  for (auto it = m_runs.begin(); it != m_runs.end(); ++it) {
    auto next = std::next(it);
    if (next != m_runs.end() && missing_between(it->second.end, next->first)) ++n;
  }
  return n;
}

std::vector<Completeness::Gap> Completeness::gaps(size_t max) const {
  std::vector<Gap> out;
  for (auto it = m_runs.rbegin(); it != m_runs.rend() && out.size() < max; ++it) {
    auto older = std::next(it);
    if (older == m_runs.rend()) break;
    uint64_t missing = missing_between(older->second.end, it->first);
    if (missing) out.push_back(Gap{older->second.end, it->first, missing});
  }
  std::reverse(out.begin(), out.end());
  return out;
}

std::string Completeness::json(const std::string& cn) const {
  static constexpr size_t kShown = 20;
  std::string out = "{\"cn\":" + json_text(cn) + ",\"period\":" + std::to_string(m_period) + ",\"received\":" + std::to_string(received()) +
                    ",\"upload\":" + std::to_string(m_by_kind[0]) + ",\"resend\":" + std::to_string(m_by_kind[1]) +
                    ",\"history\":" + std::to_string(m_by_kind[2]) + ",\"duplicates\":" + std::to_string(m_duplicates) +
                    ",\"missing\":" + std::to_string(missing()) + ",\"first\":" + std::to_string(first()) + ",\"last\":" + std::to_string(last()) +
                    ",\"gapCount\":" + std::to_string(gap_count()) + ",\"gaps\":[";
  std::vector<Gap> shown = gaps(kShown);
  for (size_t i = 0; i < shown.size(); ++i)
    out += std::string(i ? "," : "") + "[" + std::to_string(shown[i].after) + "," + std::to_string(shown[i].before) + "," +
           std::to_string(shown[i].missing) + "]";
  return out + "]}";
}

} // namespace sim
