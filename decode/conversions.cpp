#include "decode/conversions.h"

#include "decode/numbers.h"
#include "decode/text_fields.h"

namespace kaldo::detail {

namespace {

// Half-up rounding of one decimal digit away.
std::int64_t drop_one_digit(std::int64_t value) {
  return value / 10 + (value % 10 >= 5 ? 1 : 0);
}

int days_in_month(std::int64_t month, std::int64_t full_year) {
  switch (month) {
    case 4: case 6: case 9: case 11:
      return 30;
    case 2:
      return is_leap_year(full_year) ? 29 : 28;
    default:
      return 31;
  }
}

void advance_year(gps_report_convert& record, std::int64_t century) {
  if (record.date_year == "99") {
    record.date_year = "00";
    set_number_keeping_width(record.report_century, century + 1);
  } else {
    set_number_text(record.date_year, read_number(record.date_year) + 1);
  }
}

// The day after the current date. A month outside 1 to 12 only resets the
// day to 1.
void advance_date(gps_report_convert& record) {
  const std::int64_t day = read_number(record.date_day);
  const std::int64_t month = read_number(record.date_month);
  const std::int64_t century = read_number(record.century);
  const std::int64_t full_year = 100 * century + read_number(record.date_year);
  set_number_text(record.date_day, 1);
  if (month < 1 || month > 12) return;
  // Only the exact day after the month's last one starts a new month; a
  // day that is already past the end just counts on. February also ends
  // after day 29 of a year that is not a leap year.
  const std::int64_t next = day + 1;
  const bool month_ends = next == days_in_month(month, full_year) + 1 ||
                          (month == 2 && next == 30);
  if (!month_ends) {
    set_number_text(record.date_day, next);
    return;
  }
  if (month == 12) {
    set_number_text(record.date_month, 1);
    advance_year(record, century);
  } else {
    set_number_text(record.date_month, month + 1);
  }
}

// Advances `unit` by one; returns true when it passed `limit` - 1 and was
// reset to "00", so that the next larger unit must advance.
bool advance_unit(text_field& unit, std::int64_t limit) {
  const std::int64_t next = read_number(unit) + 1;
  if (next != limit) {
    set_number_keeping_width(unit, next);
    return false;
  }
  unit = "00";
  return true;
}

void round_coordinate(text_field& degrees, text_field& minutes,
                      text_field& fraction) {
  const std::int64_t rounded = drop_one_digit(read_number(fraction));
  if (rounded < 10000) {
    set_number_text(fraction, rounded);
    return;
  }
  fraction = "0000";
  if (advance_unit(minutes, 60)) {
    set_number_keeping_width(degrees, read_number(degrees) + 1);
  }
}

std::string convert_coordinate(gps_report_convert& record, bool after_3_2,
                               text_field& fraction,
                               void (*round)(gps_report_convert&)) {
  if (!after_3_2) {
    // A fraction of more than five digits comes from a packed digit group
    // above 99: rounding it would hide the corrupt value behind a carry.
    if (is_packed_layout(record) && fraction.size() <= 5) round(record);
    return check_field_width(fraction, 4);
  }
  if (!is_packed_layout(record)) fraction += '0';
  return check_field_width(fraction, 5);
}

}  // namespace

bool is_leap_year(std::int64_t year) {
  if (year % 4 != 0) return false;
  if (year % 400 == 0) return true;
  return year % 100 != 0;
}

void round_to_centiseconds(gps_report_convert& record) {
  const std::int64_t hundredths =
      drop_one_digit(read_number(record.time_millisecond));
  if (hundredths < 100) {
    set_number_text(record.time_centisecond, hundredths);
    return;
  }
  record.time_centisecond = "00";
  if (!advance_unit(record.time_second, 60)) return;
  if (!advance_unit(record.time_minute, 60)) return;
  const std::int64_t hour = read_number(record.time_hour) + 1;
  set_number_keeping_width(record.time_hour, hour == 24 ? 0 : hour);
  if (hour == 24) advance_date(record);
}

void round_latitude_fraction(gps_report_convert& record) {
  round_coordinate(record.latitude_degrees, record.latitude_minutes,
                   record.latitude_minute_fraction);
}

void round_longitude_fraction(gps_report_convert& record) {
  round_coordinate(record.longitude_degrees, record.longitude_minutes,
                   record.longitude_minute_fraction);
}

std::string convert_time_fraction(gps_report_convert& record, bool after_3_2) {
  if (after_3_2 && !is_packed_layout(record) &&
      !record.time_fraction_rounded) {
    round_to_centiseconds(record);
    record.time_fraction_rounded = true;
  }
  std::string errors = check_field_width(record.time_millisecond, 3);
  const std::string more = check_field_width(record.time_centisecond, 2);
  if (!more.empty()) errors += more;
  return errors;
}

std::string convert_latitude_fraction(gps_report_convert& record, bool after_3_2) {
  return convert_coordinate(record, after_3_2, record.latitude_minute_fraction,
                            round_latitude_fraction);
}

std::string convert_longitude_fraction(gps_report_convert& record, bool after_3_2) {
  return convert_coordinate(record, after_3_2, record.longitude_minute_fraction,
                            round_longitude_fraction);
}

}  // namespace kaldo::detail
