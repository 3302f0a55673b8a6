// The calendar the platform reads DataTimes, QNs and its own clock on: seconds from
// 1970-01-01 00:00:00 on the proleptic Gregorian calendar, no zone.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Days from 1970-01-01 of a date.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d);
// yyyyMMddhhmmss (a DataTime, or a QN's first 14 digits) as seconds on the calendar; false when it does not read.
bool civil_seconds(const std::string& text, int64_t& out);
// Seconds on the calendar as yyyyMMddhhmmss.
std::string civil_text(int64_t s);
// A QN (yyyyMMddhhmmsszzz) as milliseconds on the calendar: when the station's clock sent the frame.
bool qn_time_ms(const std::string& qn, int64_t& out);

} // namespace sim
