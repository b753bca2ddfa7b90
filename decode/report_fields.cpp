#include "decode/report_fields.h"

#include <charconv>
#include <cstdio>

#include "decode/numbers.h"
#include "decode/text_fields.h"

namespace {

using report_bytes = std::array<unsigned char, report_size>;

unsigned u16_at(const report_bytes& b, std::size_t n) {
  return b[n] + 256u * b[n + 1];
}

bool bit(unsigned char byte, int n) { return (byte >> n) & 1; }

// A packed two-digit group: "00" to "99", three digits above 99.
void append_two(std::string& digits, unsigned value) {
  if (value < 10) digits += '0';
  char text[4];
  digits.append(text, std::to_chars(text, text + 4, value).ptr);
}

void append_number(std::string& digits, unsigned value) {
  char text[12];
  digits.append(text, std::to_chars(text, text + 12, value).ptr);
}

void set_course(gps_report_convert& record, const report_bytes& b) {
  const unsigned course = u16_at(b, 25);
  set_number_text(record.course_whole, course / 100);
  set_number_text(record.course_fraction, course % 100);
  check_field_width(record.course_fraction, 2);
}

// Binary layout, types 1 and 2.
void decode_binary(gps_report_convert& record) {
  const report_bytes& b = record.raw_report;
  const unsigned char flags = b[27];
  record.fix_valid = bit(flags, 7);
  record.longitude_west = bit(flags, 6);
  record.latitude_south = bit(flags, 5);
  const bool altitude_negative = bit(flags, 4);
  record.altitude_extended = bit(flags, 3);
  if (bit(flags, 2)) record.modem_id_in_message = 1;
  record.emergency = 0;

  set_number_text(record.time_hour, b[0]);
  set_number_text(record.time_minute, b[1]);
  set_number_text(record.time_second, b[2]);
  set_number_text(record.time_millisecond, u16_at(b, 3));
  set_number_text(record.date_year, b[5]);
  set_number_text(record.date_month, b[6]);
  set_number_text(record.date_day, b[7]);
  set_number_text(record.latitude_degrees, b[8]);
  set_number_text(record.latitude_minutes, b[9]);
  set_number_text(record.latitude_minute_fraction, u16_at(b, 10));
  set_number_text(record.longitude_degrees, b[12]);
  set_number_text(record.longitude_minutes, b[13]);
  set_number_text(record.longitude_minute_fraction, u16_at(b, 14));
  set_number_text(record.satellites_used, b[16]);
  set_number_text(record.altitude_whole, u16_at(b, 17));

  if (record.altitude_extended) {
    // Bytes 19-20 carry further altitude digits behind a leading digit
    // that only keeps their zeros: 1045 adds "045".
    const unsigned more = u16_at(b, 19);
    if (more < 10) {
      record.error_text += "Invalid Altitude";
      return;
    }
    char text[8];
    char* end = std::to_chars(text, text + 8, more).ptr;
    record.altitude_whole.append(text + 1, end);
  }
  if (altitude_negative) record.altitude_whole.insert(0, 1, '-');
  set_number_text(record.altitude_fraction, b[21]);

  const unsigned speed = u16_at(b, 22);
  set_number_text(record.ground_speed_whole, speed);
  set_number_text(record.ground_speed_fraction, b[24]);
  set_knots_text(record.ground_speed_knots, (speed + b[24] * 0.1) * kmh_to_knots);
  set_course(record, b);
}

// Splits a packed digit string at `whole_digits` into a whole part and a
// fraction. Returns false (after appending `error`) when there are fewer
// digits than the whole part needs.
bool split_digits(gps_report_convert& record, const std::string& digits,
                  unsigned whole_digits, bool negative, const char* error,
                  std::string& whole, std::string& fraction) {
  if (whole_digits == 0) {
    whole = digits;
    fraction = "0";
  } else if (digits.size() < whole_digits) {
    record.error_text += error;
    return false;
  } else {
    whole.assign(digits, 0, whole_digits);
    fraction = strip_trailing_zeros(digits.substr(whole_digits));
    if (fraction.empty()) fraction = "0";
  }
  whole = strip_leading_zeros(whole);
  if (negative && !(whole == "0" && fraction == "0")) whole.insert(0, 1, '-');
  return true;
}

// Packed decimal layout, types 3 and 103.
void decode_packed(gps_report_convert& record) {
  const report_bytes& b = record.raw_report_ext;
  const unsigned char flags = b[27];
  record.fix_valid = bit(flags, 7);
  record.longitude_west = bit(flags, 6);
  record.latitude_south = bit(flags, 5);
  const bool altitude_negative = bit(flags, 4);
  const bool vertical_negative = bit(flags, 3);
  if (bit(flags, 2)) record.modem_id_in_message = 1;
  record.dead_reckoning = bit(flags, 1);
  record.fix_2d = bit(flags, 0);
  record.emergency = bit(b[3], 7);
  const unsigned hundredths = b[3] & 0x7F;

  set_number_text(record.time_hour, b[0] / 10);
  set_number_text(record.time_minute, b[1]);
  set_number_text(record.time_second, b[2] % 64);
  set_number_text(record.time_centisecond, hundredths);
  record.time_millisecond = record.time_centisecond;
  record.time_millisecond += '0';

  record.date_year.clear();
  append_number(record.date_year, b[0] % 10);
  append_number(record.date_year, b[4] % 10);
  set_number_text(record.date_month, b[4] / 10);
  set_number_text(record.date_day, b[5]);

  set_number_text(record.latitude_degrees, b[6]);
  set_number_text(record.latitude_minutes, b[7]);
  std::string& latitude = record.latitude_minute_fraction;
  latitude.clear();
  append_two(latitude, b[10]);
  append_two(latitude, b[11]);
  append_number(latitude, b[12] / 10);

  set_number_text(record.longitude_degrees, b[8]);
  set_number_text(record.longitude_minutes, b[9]);
  std::string& longitude = record.longitude_minute_fraction;
  longitude.clear();
  append_number(longitude, b[12] % 10);
  append_two(longitude, b[13]);
  append_two(longitude, b[14]);

  set_number_text(record.satellites_used, b[15] / 10);

  std::string digits;
  append_number(digits, b[16] % 10);
  append_two(digits, b[17]);
  append_two(digits, b[18]);
  append_two(digits, b[19]);
  if (!split_digits(record, digits, b[16] / 10, altitude_negative,
                    "Invalid Altitude", record.altitude_whole,
                    record.altitude_fraction)) {
    return;
  }

  digits.clear();
  append_number(digits, b[20] % 10);
  append_two(digits, b[21]);
  append_two(digits, b[22]);
  if (!split_digits(record, digits, b[20] / 10, false, "Invalid Velocity",
                    record.ground_speed_whole, record.ground_speed_fraction)) {
    return;
  }
  std::string speed = record.ground_speed_whole;
  speed += '.';
  speed += record.ground_speed_fraction;
  double kmh = 0;
  std::from_chars(speed.data(), speed.data() + speed.size(), kmh);
  set_knots_text(record.ground_speed_knots, kmh * kmh_to_knots);

  digits.clear();
  append_number(digits, b[15] % 10);
  append_two(digits, b[23]);
  append_two(digits, b[24]);
  split_digits(record, digits, b[2] / 64, vertical_negative,
               "Invalid Velocity", record.vertical_velocity_whole,
               record.vertical_velocity_fraction);
  set_course(record, b);
}

}  // namespace

void set_knots_text(std::string& field, double knots) {
  if (knots == 0) {
    field = "0.0";
    return;
  }
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%.2f", knots);
  field.assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

void decode_report_fields(gps_report_convert& record) {
  record.report_century = record.century;
  record.dead_reckoning = 0;
  record.time_fraction_rounded = false;
  if (record.message_type >= 0 && record.message_type <= 2) {
    decode_binary(record);
  } else if (record.message_type == 3 || record.message_type == 103) {
    decode_packed(record);
  }
}
