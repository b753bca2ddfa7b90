#include "api/report_values.h"

#include <chrono>
#include <string>
#include <string_view>

#include "decode/numbers.h"
#include "formats/fix_state.h"

namespace kaldo::detail {

namespace {

using year_t = std::chrono::year;
using month_t = std::chrono::month;

// The decoder writes these texts as a few plain decimal digits; unsigned
// arithmetic keeps any other text from overflowing.
std::int64_t digits_of(std::string_view text) {
  if (text.size() > 18) return read_number(text);
  std::uint64_t value = 0;
  for (const char c : text) value = value * 10 + static_cast<unsigned char>(c - '0');
  return static_cast<std::int64_t>(value);
}

// A value whose whole part may carry a "-" in front.
double signed_decimal(const text_field& whole, const text_field& fraction) {
  std::string_view digits = whole;
  const bool negative = !digits.empty() && digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  const double value = read_decimal(digits, fraction);
  return negative && value != 0 ? -value : value;
}

void add_problem(std::string& problems, std::string_view what) {
  if (!problems.empty()) problems += "; ";
  problems += what;
}

std::int64_t days_in_month(std::int64_t year, std::int64_t month) {
  using namespace std::chrono;
  const year_month_day_last last{year_t{static_cast<int>(year)},
                                 month_day_last{month_t{static_cast<unsigned>(month)}}};
  return static_cast<unsigned>(last.day());
}

void report_clock_problems(const report_clock& c, std::string& problems) {
  const auto n = [](std::int64_t v) { return std::to_string(v); };
  if (c.month < 1 || c.month > 12) {
    add_problem(problems, "month " + n(c.month) + " is not a month of the year");
  } else if (c.day < 1) {
    add_problem(problems, "day " + n(c.day) + " is not a day of the month");
  } else if (const std::int64_t days = days_in_month(c.year, c.month); c.day > days) {
    add_problem(problems, "day " + n(c.day) + " is beyond the " + n(days) +
                              " days of month " + n(c.month) + " of " + n(c.year));
  }
  if (c.hour > 23) add_problem(problems, "hour " + n(c.hour) + " is not an hour of the day");
  if (c.minute > 59) {
    add_problem(problems, "minute " + n(c.minute) + " is not a minute of the hour");
  }
  if (c.second > 59) {
    add_problem(problems, "second " + n(c.second) + " is not a second of the minute");
  }
}

// The coordinate in units of a hundred-thousandth of a minute, from the
// fitted texts; false with the reason added when it names no place.
bool read_coordinate(const char* name, const text_field& degrees,
                     const text_field& minutes, const text_field& fraction,
                     std::int64_t limit_degrees, std::string& problems,
                     std::int64_t& units) {
  const std::int64_t d = digits_of(degrees);
  const std::int64_t m = digits_of(minutes);
  const std::int64_t f = digits_of(fraction);
  bool fine = true;
  if (m > 59) {
    add_problem(problems, std::string(name) + " minute " + std::to_string(m) +
                              " is not a minute of a degree");
    fine = false;
  }
  units = d * degree_units + m * minute_fraction_units + f;
  if (units > limit_degrees * degree_units) {
    std::string what = name;
    what += ' ';
    what += degrees;
    what += ':';
    what += minutes;
    what += '.';
    what += fraction;
    what += " is beyond " + std::to_string(limit_degrees) + " degrees";
    add_problem(problems, what);
    fine = false;
  }
  return fine;
}

kaldo::fix_state fix_of(const gps_report_convert& record) {
  if (!is_packed_layout(record)) {
    return record.fix_valid ? kaldo::fix_state::valid : kaldo::fix_state::invalid;
  }
  // Indexed by the state the after-3.2 formats print.
  static constexpr kaldo::fix_state states[] = {
      kaldo::fix_state::none, kaldo::fix_state::fix_3d, kaldo::fix_state::fix_2d,
      kaldo::fix_state::dead_reckoning};
  return states[report_fix_state(record, true)];
}

}  // namespace

// Every month has 28 days; only a later day needs the calendar.
bool is_real_clock(const report_clock& c) {
  return c.month >= 1 && c.month <= 12 && c.day >= 1 &&
         (c.day <= 28 || c.day <= days_in_month(c.year, c.month)) && c.hour <= 23 &&
         c.minute <= 59 && c.second <= 59;
}

utc_time instant_of(const report_clock& c) {
  using namespace std::chrono;
  const year_month_day date{year_t{static_cast<int>(c.year)}, month_t{static_cast<unsigned>(c.month)},
                            day{static_cast<unsigned>(c.day)}};
  return sys_days{date} + hours{c.hour} + minutes{c.minute} + seconds{c.second} +
         milliseconds{c.millisecond};
}

report_clock read_report_clock(const gps_report_convert& record) {
  report_clock clock;
  clock.year = 100 * digits_of(record.century) + digits_of(record.date_year);
  clock.month = digits_of(record.date_month);
  clock.day = digits_of(record.date_day);
  clock.hour = digits_of(record.time_hour);
  clock.minute = digits_of(record.time_minute);
  clock.second = digits_of(record.time_second);
  clock.millisecond = digits_of(record.time_millisecond);
  return clock;
}

void read_report(const gps_report_convert& r, const report_clock& clock, report& out) {
  std::int64_t latitude = 0;
  std::int64_t longitude = 0;
  if (!is_real_clock(clock)) report_clock_problems(clock, out.problem);
  read_coordinate("latitude", r.latitude_degrees, r.latitude_minutes,
                  r.latitude_minute_fraction, 90, out.problem, latitude);
  read_coordinate("longitude", r.longitude_degrees, r.longitude_minutes,
                  r.longitude_minute_fraction, 180, out.problem, longitude);
  if (!out.problem.empty()) return;

  position& p = out.position.emplace();
  p.time = instant_of(clock);
  const bool packed = is_packed_layout(r);
  p.precision = packed ? time_precision::hundredths : time_precision::milliseconds;
  // One division of exact integers: the double nearest the coordinate.
  p.latitude = static_cast<double>(latitude) / degree_units;
  if (r.latitude_south && latitude != 0) p.latitude = -p.latitude;
  p.longitude = static_cast<double>(longitude) / degree_units;
  if (r.longitude_west && longitude != 0) p.longitude = -p.longitude;
  p.altitude_m = signed_decimal(r.altitude_whole, r.altitude_fraction);
  p.speed_kmh = read_decimal(r.ground_speed_whole, r.ground_speed_fraction);
  p.course_deg = read_decimal(r.course_whole, r.course_fraction);
  if (packed) {
    p.vertical_velocity_ms =
        signed_decimal(r.vertical_velocity_whole, r.vertical_velocity_fraction);
  }
  p.satellites = static_cast<int>(digits_of(r.satellites_used));
  p.fix = fix_of(r);
  p.emergency = r.emergency != 0;
}

}  // namespace kaldo::detail
