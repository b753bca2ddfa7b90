#include "tests/api/message_generator.h"

#include <chrono>
#include <cstdio>

#include "tests/test_support.h"

namespace {

int days_in_month(int year, int month) {
  using namespace std::chrono;
  const year_month_day_last last{std::chrono::year{year},
                                 month_day_last{std::chrono::month{static_cast<unsigned>(month)}}};
  return static_cast<int>(static_cast<unsigned>(last.day()));
}

bool real_clock(int century, int year, int month, int day, int hour, int minute,
                int second) {
  return month >= 1 && month <= 12 && day >= 1 &&
         day <= days_in_month(100 * century + year, month) && hour < 24 &&
         minute < 60 && second < 60;
}

// `fraction_is_zero`: the minute fraction has no digit but 0.
bool real_coordinate(int degrees, int minutes, bool fraction_is_zero, int limit) {
  return minutes < 60 &&
         (degrees < limit || (degrees == limit && minutes == 0 && fraction_is_zero));
}

void put_hex(std::string& text, unsigned char byte, bool lower) {
  const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
  text += digits[byte >> 4];
  text += digits[byte & 15];
}

}  // namespace

int message_generator::pick(int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random_);
}

bool message_generator::chance(int percent) { return pick(1, 1000) <= percent * 10; }

// Mostly a plausible value, sometimes one that still fits the printed
// width but is out of its natural range, rarely one too wide to print.
int message_generator::field(int low, int high, int wide_high, int corrupt_high) {
  const int roll = pick(1, 1000);
  if (roll <= 8 && corrupt_high > wide_high) return pick(wide_high + 1, corrupt_high);
  if (roll <= 80) return pick(0, wide_high);
  return pick(low, high);
}

std::string message_generator::binary(generated_report& expected, int century) {
  binary_fields f;
  f.hour = field(0, 23, 99, 255);
  f.minute = field(0, 59, 99, 255);
  f.second = field(0, 59, 99, 255);
  f.millisecond = chance(10) ? pick(990, 999) : field(0, 999, 999, 65535);
  f.year = field(0, 99, 99, 255);
  f.month = field(1, 12, 99, 255);
  f.day = field(1, 31, 99, 255);
  f.lat_degrees = field(0, 90, 99, 255);
  f.lat_minutes = field(0, 59, 99, 255);
  f.lat_fraction = field(0, 9999, 9999, 65535);
  f.lon_degrees = field(0, 180, 255, 255);
  f.lon_minutes = field(0, 59, 99, 255);
  f.lon_fraction = field(0, 9999, 9999, 65535);
  if (chance(5)) f.lat_minutes = f.lat_fraction = 0;
  if (chance(5)) f.lon_minutes = f.lon_fraction = 0;
  f.satellites = field(0, 12, 99, 255);
  f.altitude = pick(0, 65535);
  f.flags = pick(0, 255);
  f.altitude_more = chance(3) ? pick(0, 9) : pick(10, 65535);
  f.altitude_fraction = field(0, 9, 255, 255);
  f.speed = pick(0, 65535);
  f.speed_tenths = chance(3) ? pick(10, 255) : pick(0, 9);
  f.course = field(0, 35999, 65535, 65535);
  expected.emergency = false;
  expected.real =
      real_clock(century, f.year, f.month, f.day, f.hour, f.minute, f.second) &&
      real_coordinate(f.lat_degrees, f.lat_minutes, f.lat_fraction == 0, 90) &&
      real_coordinate(f.lon_degrees, f.lon_minutes, f.lon_fraction == 0, 180);
  return binary_report(f);
}

std::string message_generator::packed(generated_report& expected, int century) {
  packed_fields f;
  // Bytes 0 and 4 share their digit with the year, which bounds the hour
  // and the month to what a byte holds.
  f.hour = field(0, 23, 24, 24);
  f.minute = field(0, 59, 99, 255);
  f.second = field(0, 59, 63, 63);
  f.hundredths = field(0, 99, 99, 127);
  f.emergency = pick(0, 1);
  f.year = pick(0, 99);
  f.month = field(1, 12, 24, 24);
  f.day = field(1, 31, 99, 255);
  f.lat_degrees = field(0, 90, 99, 255);
  f.lat_minutes = field(0, 59, 99, 255);
  f.lat_fraction_12 = field(0, 99, 99, 255);
  f.lat_fraction_34 = field(0, 99, 99, 255);
  f.lat_fraction_5 = field(0, 9, 9, 25);
  f.lon_degrees = field(0, 180, 255, 255);
  f.lon_minutes = field(0, 59, 99, 255);
  f.lon_fraction_1 = pick(0, 9);
  f.lon_fraction_23 = field(0, 99, 99, 255);
  f.lon_fraction_45 = field(0, 99, 99, 255);
  if (chance(5)) f.lat_minutes = f.lat_fraction_12 = f.lat_fraction_34 = f.lat_fraction_5 = 0;
  if (chance(5)) f.lon_minutes = f.lon_fraction_1 = f.lon_fraction_23 = f.lon_fraction_45 = 0;
  f.satellites = field(0, 12, 25, 25);
  f.altitude_whole_digits = field(0, 7, 7, 25);
  f.altitude_digit_1 = pick(0, 9);
  f.altitude_23 = field(0, 99, 99, 255);
  f.altitude_45 = field(0, 99, 99, 255);
  f.altitude_67 = field(0, 99, 99, 255);
  f.speed_whole_digits = field(0, 5, 5, 25);
  f.speed_digit_1 = pick(0, 9);
  f.speed_23 = field(0, 99, 99, 255);
  f.speed_45 = field(0, 99, 99, 255);
  f.vv_whole_digits = pick(0, 3);
  f.vv_digit_1 = pick(0, 9);
  f.vv_23 = field(0, 99, 99, 255);
  f.vv_45 = field(0, 99, 99, 255);
  f.course = field(0, 35999, 65535, 65535);
  f.flags = pick(0, 255);
  expected.emergency = f.emergency != 0;
  const bool lat_zero = f.lat_fraction_12 == 0 && f.lat_fraction_34 == 0 && f.lat_fraction_5 == 0;
  const bool lon_zero = f.lon_fraction_1 == 0 && f.lon_fraction_23 == 0 && f.lon_fraction_45 == 0;
  expected.real =
      real_clock(century, f.year, f.month, f.day, f.hour, f.minute, f.second) &&
      real_coordinate(f.lat_degrees, f.lat_minutes, lat_zero, 90) &&
      real_coordinate(f.lon_degrees, f.lon_minutes, lon_zero, 180);
  return packed_report(f);
}

generated_message message_generator::next() {
  generated_message m;
  static const int types[] = {1, 2, 3, 103};
  const int type = chance(2) ? pick(0, 255) : types[pick(0, 3)];
  const int century = chance(70) ? 20 : pick(0, 99);
  char century_text[3];
  std::snprintf(century_text, sizeof century_text, "%02d", century);
  m.how.century = century_text;
  if (chance(50)) m.how.modem_id = std::to_string(pick(0, 999999)) + "0000000";

  const int count = chance(5) ? pick(6, 40) : pick(0, 5);
  std::vector<std::string> reports;
  for (int i = 0; i < count; ++i) {
    generated_report expected;
    reports.push_back(type >= 3 ? packed(expected, century)
                                : binary(expected, century));
    m.reports.push_back(expected);
  }
  // A tail that may carry a modem id: digits, the underscore an SBD
  // payload turns into a space, a carriage return that ends the id, the
  // GSM escape, and bytes above 127.
  static const char alphabet[] = "0123456789_ABCxyz\r\x1b$@<";
  std::string tail;
  const int tail_length = chance(30) ? 0 : pick(1, 69);
  for (int i = 0; i < tail_length; ++i) {
    tail += chance(3) ? static_cast<char>(pick(128, 255))
                      : alphabet[pick(0, sizeof alphabet - 2)];
  }
  m.bytes = make_message(type, reports, tail);
  if (count < 2 && m.bytes.size() < 30) m.bytes.resize(30, '7');
  if (chance(2)) m.bytes.resize(m.bytes.size() + static_cast<std::size_t>(pick(1, 80)), '1');

  if (count <= 9 && m.bytes.size() >= 30 && chance(25)) {
    m.kind = kaldo::encoding::sms_text;
    std::string text;
    text += m.bytes[0];
    text += static_cast<char>('0' + count);
    const int lower_at = chance(2) ? pick(2, 29) : -1;
    for (int i = 2; i < 30; ++i) {
      put_hex(text, static_cast<unsigned char>(m.bytes[static_cast<std::size_t>(i)]), i == lower_at);
    }
    text += m.bytes.substr(30);
    m.bytes = text;
  }
  return m;
}

std::string describe(const kaldo::decoded_message& d) {
  std::string text;
  char line[400];
  std::snprintf(line, sizeof line, "result %d kind %d type %d\n", static_cast<int>(d.result),
                static_cast<int>(d.kind), d.message_type);
  text += line;
  text += "error " + d.error + "\nmodem " + d.modem_id + "\n";
  for (const kaldo::report& r : d.reports) {
    text += "report " + std::to_string(r.index) + " problem " + r.problem + "\n";
    if (!r.position) continue;
    const kaldo::position& p = *r.position;
    std::snprintf(line, sizeof line,
                  "%lld %d %a %a %a %a %a %d %a %d %s %d\n",
                  static_cast<long long>(p.time.time_since_epoch().count()),
                  static_cast<int>(p.precision), p.latitude, p.longitude, p.altitude_m,
                  p.speed_kmh, p.course_deg, p.vertical_velocity_ms.has_value(),
                  p.vertical_velocity_ms.value_or(0), p.satellites, kaldo::to_string(p.fix),
                  p.emergency);
    text += line;
  }
  return text;
}
