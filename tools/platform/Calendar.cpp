// The calendar the platform reads DataTimes, QNs and its own clock on: days from 1970, no zone.
#include "Calendar.h"

#include <cstdio>

namespace sim {

int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

namespace {

// Days from 1970-01-01 back to the proleptic Gregorian calendar.
void civil_from_days(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y = yoe + era * 400 + (m <= 2);
}

} // namespace

bool civil_seconds(const std::string& text, int64_t& out) {
  if (text.size() != 14) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto num = [&](size_t at, size_t n) { return static_cast<int64_t>(std::stoll(text.substr(at, n))); };
  const int64_t y = num(0, 4), mo = num(4, 2), d = num(6, 2), h = num(8, 2), mi = num(10, 2), sec = num(12, 2);
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 59) return false;
  out = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec;
  return true;
}

std::string civil_text(int64_t s) {
  int64_t days = s >= 0 ? s / 86400 : (s - 86399) / 86400, rest = s - days * 86400, y = 0, m = 0, d = 0;
  civil_from_days(days, y, m, d);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04lld%02lld%02lld%02lld%02lld%02lld", static_cast<long long>(y), static_cast<long long>(m),
                static_cast<long long>(d), static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return buf;
}

bool qn_time_ms(const std::string& qn, int64_t& out) {
  int64_t s = 0;
  if (qn.size() != 17 || !civil_seconds(qn.substr(0, 14), s) || qn.find_first_not_of("0123456789", 14) != std::string::npos)
    return false;
  out = s * 1000 + std::stoll(qn.substr(14));
  return true;
}

} // namespace sim
