// The numbers of one decoded report, read from the decoder record's field
// texts: the same texts format 7 prints, before they are cut to its
// printed digits.
//
// The reading has two steps because fitting a format 7 block rounds the
// milliseconds of a binary-layout report to hundredths and carries the
// rounding into the seconds and on to the date: the instant is read before
// the fitting, everything else after it (when the coordinate fractions
// have their five digits in both layouts).
#pragma once

#include <cstdint>

#include "decode/gps_report_convert.h"
#include "kaldo/decode.h"

namespace kaldo::detail {

// A report's date and time as the decoder wrote them, not yet checked.
struct report_clock {
  std::int64_t year = 0;  // the century setting in front of the two-digit year
  std::int64_t month = 0;
  std::int64_t day = 0;
  std::int64_t hour = 0;
  std::int64_t minute = 0;
  std::int64_t second = 0;
  std::int64_t millisecond = 0;
};

// A coordinate's minutes have five fraction digits: a coordinate in these
// units is exact.
inline constexpr std::int64_t minute_fraction_units = 100000;
inline constexpr std::int64_t degree_units = 60 * minute_fraction_units;

// Whether the clock names a real instant: a month of the year, a day of
// that month, an hour, minute and second of the day.
bool is_real_clock(const report_clock& clock);

// The instant of a real clock.
utc_time instant_of(const report_clock& clock);

// Call right after decode_report_fields, before any formatter runs.
report_clock read_report_clock(const gps_report_convert& record);

// Fills `out` (a fresh report) from the record, its fields fitted as a
// format 7 block fits them. A date, time or coordinate that names no real
// instant or place leaves `position` empty and says why in `problem`.
void read_report(const gps_report_convert& record, const report_clock& clock,
                 report& out);

}  // namespace kaldo::detail
