#include "decode/report_fields.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "decode/numbers.h"
#include "decode/text_fields.h"

namespace kaldo::detail {

namespace {

using report_bytes = std::array<unsigned char, report_size>;

unsigned u16_at(const report_bytes& b, std::size_t n) {
  return b[n] + 256u * b[n + 1];
}

bool bit(unsigned char byte, int n) { return (byte >> n) & 1; }

// The decimal digits of a packed quantity, built on the stack: a byte is
// at most three digits and a quantity at most eight.
class digit_text {
 public:
  // The shortest decimal text of `value`.
  void number(unsigned value) {
    if (value >= 100) put(value / 100);
    if (value >= 10) put(value / 10 % 10);
    put(value % 10);
  }
  // A packed two-digit group: "00" to "99", three digits above 99.
  void two(unsigned value) {
    if (value < 10) put(0);
    number(value);
  }
  std::string_view view() const { return {text_, size_}; }

 private:
  void put(unsigned digit) { text_[size_++] = static_cast<char>('0' + digit); }
  char text_[16];
  std::size_t size_ = 0;
};

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
    record.altitude_whole += std::string_view(text + 1, static_cast<std::size_t>(end - text - 1));
  }
  if (altitude_negative) record.altitude_whole.prepend(1, '-');
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
bool split_digits(gps_report_convert& record, std::string_view digits,
                  unsigned whole_digits, bool negative, const char* error,
                  text_field& whole, text_field& fraction) {
  std::string_view whole_part = digits;
  std::string_view fraction_part = "0";
  if (whole_digits > 0) {
    if (digits.size() < whole_digits) {
      record.error_text += error;
      return false;
    }
    whole_part = digits.substr(0, whole_digits);
    fraction_part = strip_trailing_zeros(digits.substr(whole_digits));
    if (fraction_part.empty()) fraction_part = "0";
  }
  whole_part = strip_leading_zeros(whole_part);
  fraction = fraction_part;
  whole.clear();
  if (negative && !(whole_part == "0" && fraction_part == "0")) whole += '-';
  whole += whole_part;
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

  digit_text year;
  year.number(b[0] % 10);
  year.number(b[4] % 10);
  record.date_year = year.view();
  set_number_text(record.date_month, b[4] / 10);
  set_number_text(record.date_day, b[5]);

  set_number_text(record.latitude_degrees, b[6]);
  set_number_text(record.latitude_minutes, b[7]);
  digit_text latitude;
  latitude.two(b[10]);
  latitude.two(b[11]);
  latitude.number(b[12] / 10);
  record.latitude_minute_fraction = latitude.view();

  set_number_text(record.longitude_degrees, b[8]);
  set_number_text(record.longitude_minutes, b[9]);
  digit_text longitude;
  longitude.number(b[12] % 10);
  longitude.two(b[13]);
  longitude.two(b[14]);
  record.longitude_minute_fraction = longitude.view();

  set_number_text(record.satellites_used, b[15] / 10);

  digit_text altitude;
  altitude.number(b[16] % 10);
  altitude.two(b[17]);
  altitude.two(b[18]);
  altitude.two(b[19]);
  if (!split_digits(record, altitude.view(), b[16] / 10, altitude_negative,
                    "Invalid Altitude", record.altitude_whole,
                    record.altitude_fraction)) {
    return;
  }

  digit_text speed;
  speed.number(b[20] % 10);
  speed.two(b[21]);
  speed.two(b[22]);
  if (!split_digits(record, speed.view(), b[20] / 10, false, "Invalid Velocity",
                    record.ground_speed_whole, record.ground_speed_fraction)) {
    return;
  }
  set_knots_text(record.ground_speed_knots,
                 read_decimal(record.ground_speed_whole, record.ground_speed_fraction) *
                     kmh_to_knots);

  digit_text vertical;
  vertical.number(b[15] % 10);
  vertical.two(b[23]);
  vertical.two(b[24]);
  split_digits(record, vertical.view(), b[2] / 64, vertical_negative,
               "Invalid Velocity", record.vertical_velocity_whole,
               record.vertical_velocity_fraction);
  set_course(record, b);
}

// The value in hundredths, rounded to the nearest as "%.2f" rounds: from
// the exact value of the double, ties to even. knots * 100 is held exactly
// as p + e (the product's rounding error is itself a double), so the tie
// test needs no wider arithmetic. Returns false when the value is too
// large or negative for this.
bool round_to_hundredths(double knots, std::uint64_t& hundredths) {
  if (!(knots >= 0 && knots < 1e12)) return false;
  const double p = knots * 100;
  const double e = std::fma(knots, 100, -p);
  const double whole = std::floor(p);
  // Above, below or at the half, exactly: (p - whole) - 0.5 is exact
  // wherever p is near a half, and rounding p - whole - 0.5 + e cannot
  // change the sign of that sum.
  const double above_half = ((p - whole) - 0.5) + e;
  auto n = static_cast<std::uint64_t>(whole);
  if (above_half > 0 || (above_half == 0 && n % 2 == 1)) ++n;
  hundredths = n;
  return true;
}

}  // namespace

void set_knots_text(text_field& field, double knots) {
  if (knots == 0) {
    field = "0.0";
    return;
  }
  std::uint64_t hundredths = 0;
  if (round_to_hundredths(knots, hundredths)) {
    set_number_text(field, static_cast<std::int64_t>(hundredths / 100));
    field += '.';
    field += static_cast<char>('0' + hundredths / 10 % 10);
    field += static_cast<char>('0' + hundredths % 10);
    return;
  }
  char text[400];
  const auto end =
      std::to_chars(text, text + sizeof text, knots, std::chars_format::fixed, 2).ptr;
  field.assign(std::string_view(text, static_cast<std::size_t>(end - text)));
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

}  // namespace kaldo::detail
