#include "api/plain_report.h"

#include "api/report_values.h"

namespace kaldo::detail {

namespace {

constexpr double powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};

unsigned u16_at(const unsigned char* b, int n) { return b[n] + 256u * b[n + 1]; }

bool bit(unsigned char byte, int n) { return (byte >> n) & 1; }

// How many decimal digits the shortest text of `value` has.
int digit_count(unsigned value) {
  int n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

// whole.fraction where the fraction is the decimal text of `fraction`, as
// the binary layout writes a value and its fraction byte: 12 and 5 read
// 12.5, 12 and 50 read 12.50.
double with_fraction_text(std::uint64_t whole, unsigned fraction) {
  const int digits = digit_count(fraction);
  return static_cast<double>(whole * static_cast<std::uint64_t>(powers_of_ten[digits]) +
                             fraction) /
         powers_of_ten[digits];
}

// A packed digit string of `length` digits holding `digits`, with the
// first `whole_digits` of them before the point (none: all of them).
double split_at(std::uint64_t digits, int length, int whole_digits) {
  if (whole_digits == 0) return static_cast<double>(digits);
  return static_cast<double>(digits) / powers_of_ten[length - whole_digits];
}

double negated_if(bool negative, double value) {
  return negative && value != 0 ? -value : value;
}

// A coordinate within `limit` degrees with minutes below 60, in decimal
// degrees; false for any other.
bool coordinate(unsigned degrees, unsigned minutes, std::int64_t fraction,
                std::int64_t limit, bool negative, double& value) {
  if (minutes > 59) return false;
  const std::int64_t units = degrees * degree_units + minutes * minute_fraction_units + fraction;
  if (units > limit * degree_units) return false;
  value = negated_if(negative, static_cast<double>(units) / degree_units);
  return true;
}

// Types 1 and 2. Format 7 rounds the milliseconds to hundredths: up to 994
// no carry reaches the seconds.
bool read_binary(const unsigned char* b, std::int64_t century, position& p) {
  const report_clock clock{100 * century + b[5], b[6], b[7], b[0], b[1], b[2], u16_at(b, 3)};
  if (b[5] > 99 || clock.millisecond > 994 || !is_real_clock(clock)) return false;
  const unsigned char flags = b[27];
  // Format 7 prints a latitude with two degree digits, a fraction with
  // four digits and a zero, the satellites with two digits.
  if (b[8] > 99 || u16_at(b, 10) > 9999 || u16_at(b, 14) > 9999 || b[16] > 99) return false;
  if (!coordinate(b[8], b[9], 10 * static_cast<std::int64_t>(u16_at(b, 10)), 90,
                  bit(flags, 5), p.latitude) ||
      !coordinate(b[12], b[13], 10 * static_cast<std::int64_t>(u16_at(b, 14)), 180,
                  bit(flags, 6), p.longitude)) {
    return false;
  }

  // An extended altitude continues with the digits of bytes 19-20 after
  // their leading one, which only keeps their zeros: 1045 adds "045".
  std::uint64_t altitude = u16_at(b, 17);
  if (bit(flags, 3)) {
    const unsigned more = u16_at(b, 19);
    if (more < 10) return false;  // the texts fail the message
    const int kept = digit_count(more) - 1;
    const auto scale = static_cast<std::uint64_t>(powers_of_ten[kept]);
    altitude = altitude * scale + more % scale;
  }
  p.time = instant_of(clock);
  p.precision = time_precision::milliseconds;
  p.altitude_m = negated_if(bit(flags, 4), with_fraction_text(altitude, b[21]));
  p.speed_kmh = with_fraction_text(u16_at(b, 22), b[24]);
  p.course_deg = u16_at(b, 25) / 100.0;
  p.satellites = b[16];
  p.fix = bit(flags, 7) ? fix_state::valid : fix_state::invalid;
  p.emergency = false;
  return true;
}

// Types 3 and 103: two decimal digits to a byte, so every byte of a digit
// group must be below 100 for the group to have its length.
bool read_packed(const unsigned char* b, std::int64_t century, position& p) {
  const unsigned hundredths = b[3] & 0x7Fu;
  const report_clock clock{100 * century + 10 * (b[0] % 10) + b[4] % 10,
                           b[4] / 10, b[5], b[0] / 10, b[1], b[2] % 64, 10 * hundredths};
  if (hundredths > 99 || !is_real_clock(clock)) return false;
  for (const int n : {6, 10, 11, 12, 13, 14, 17, 18, 19, 21, 22, 23, 24}) {
    if (b[n] > 99) return false;
  }
  const int altitude_whole = b[16] / 10;
  const int speed_whole = b[20] / 10;
  if (altitude_whole > 7 || speed_whole > 5) return false;  // the texts fail the message

  const unsigned char flags = b[27];
  const std::int64_t latitude_fraction = b[10] * 1000 + b[11] * 10 + b[12] / 10;
  const std::int64_t longitude_fraction = (b[12] % 10) * 10000 + b[13] * 100 + b[14];
  if (!coordinate(b[6], b[7], latitude_fraction, 90, bit(flags, 5), p.latitude) ||
      !coordinate(b[8], b[9], longitude_fraction, 180, bit(flags, 6), p.longitude)) {
    return false;
  }
  const std::uint64_t altitude = (b[16] % 10) * 1000000u + b[17] * 10000u + b[18] * 100u + b[19];
  const std::uint64_t speed = (b[20] % 10) * 10000u + b[21] * 100u + b[22];
  const std::uint64_t vertical = (b[15] % 10) * 10000u + b[23] * 100u + b[24];

  p.time = instant_of(clock);
  p.precision = time_precision::hundredths;
  p.altitude_m = negated_if(bit(flags, 4), split_at(altitude, 7, altitude_whole));
  p.speed_kmh = split_at(speed, 5, speed_whole);
  p.vertical_velocity_ms = negated_if(bit(flags, 3), split_at(vertical, 5, b[2] / 64));
  p.course_deg = u16_at(b, 25) / 100.0;
  p.satellites = b[15] / 10;
  if (bit(flags, 7)) {
    p.fix = bit(flags, 0) ? fix_state::fix_2d : fix_state::fix_3d;
  } else {
    p.fix = bit(flags, 1) ? fix_state::dead_reckoning : fix_state::none;
  }
  p.emergency = bit(b[3], 7);
  return true;
}

}  // namespace

bool read_plain_report(const unsigned char* bytes, const plain_report_context& context,
                       report& out, bool& modem_id_in_message) {
  position p;
  bool plain = false;
  if (context.message_type == 1 || context.message_type == 2) {
    plain = read_binary(bytes, context.century, p);
  } else if (context.message_type == 3 || context.message_type == 103) {
    plain = read_packed(bytes, context.century, p);
  }
  if (!plain) return false;
  out.position = p;
  if (bit(bytes[27], 2)) modem_id_in_message = true;
  return true;
}

}  // namespace kaldo::detail
