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

bool read_civil(std::string_view text, CivilTime& out) {
  if (text.size() != 14 && text.size() != 17) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  auto num = [&](size_t at, size_t n) {
    int64_t v = 0;
    for (size_t i = at; i < at + n; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  CivilTime t{num(0, 4), num(4, 2), num(6, 2), num(8, 2), num(10, 2), num(12, 2), text.size() == 17 ? num(14, 3) : -1};
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 59) return false;
  out = t;
  return true;
}

bool civil_seconds(const std::string& text, int64_t& out) {
  CivilTime t;
  if (text.size() != 14 || !read_civil(text, t)) return false;
  out = days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
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
  CivilTime t;
  if (qn.size() != 17 || !read_civil(qn, t)) return false;
  out = (days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second) * 1000 + t.ms;
  return true;
}

} // namespace sim
