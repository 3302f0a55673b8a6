// The tools' one calendar for the standard's times: yyyyMMddHHmmss (a DataTime) and
// yyyyMMddHHmmsszzz (a QN) read in one place, and seconds from 1970-01-01 00:00:00 on the
// proleptic Gregorian calendar, no zone, for the platform's clock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// A time's fields as written; ms is -1 for a time without milliseconds.
struct CivilTime {
  int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = -1;
};
// yyyyMMddHHmmss or yyyyMMddHHmmsszzz: digits only, month 1-12, day 1-31, hour, minute and second in
// range. false when `text` is neither.
bool read_civil(std::string_view text, CivilTime& out);

// Days from 1970-01-01 of a date.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d);
// yyyyMMddHHmmss (a DataTime, or a QN's first 14 digits) as seconds on the calendar; false when it does not read.
bool civil_seconds(const std::string& text, int64_t& out);
// Seconds on the calendar as yyyyMMddHHmmss.
std::string civil_text(int64_t s);
// A QN (yyyyMMddHHmmsszzz) as milliseconds on the calendar: when the station's clock sent the frame.
bool qn_time_ms(const std::string& qn, int64_t& out);

} // namespace sim
