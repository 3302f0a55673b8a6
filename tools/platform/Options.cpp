#include "Options.h"

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "tools/common/Calendar.h"
#include "tools/common/sys/System.h"

namespace sim {

int to_int(const std::string& s, int dflt) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  return (end && *end == '\0' && !s.empty()) ? static_cast<int>(v) : dflt;
}

bool parse_periods(const std::string& list, std::map<std::string, int>& periods, std::string& error) {
  std::map<std::string, int> out = periods;
  std::istringstream in(list);
  std::string item;
  bool any = false;
  while (std::getline(in, item, ',')) {
    const size_t eq = item.find('=');
    const std::string cn = item.substr(0, eq);
    const int seconds = eq == std::string::npos ? -1 : to_int(item.substr(eq + 1), -1);
    if (!out.count(cn)) {
      error = "--periods: \"" + item + "\": CN is 2051 (minute), 2061 (hourly) or 2031 (daily)";
      return false;
    }
    if (seconds < 1 || seconds > 31 * 86400) {
      error = "--periods: \"" + item + "\": the period is whole seconds, 1 to 2678400";
      return false;
    }
    out[cn] = seconds;
    any = true;
  }
  if (!any || list.back() == ',') {
    error = "--periods wants CN=S[,CN=S...]";
    return false;
  }
  periods = std::move(out);
  return true;
}

int64_t local_now_s(const PlatformOptions& options) {
  if (options.local_clock) return options.local_clock();
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  sys::local_time(t, tm);
  return days_from_civil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

} // namespace sim
