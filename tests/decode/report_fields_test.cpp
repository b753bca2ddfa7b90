#include "decode/report_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/test_support.h"

using namespace kaldo::detail;

namespace {

gps_report_convert decode_binary(const binary_fields& f) {
  gps_report_convert record;
  record.message_type = 1;
  const std::string bytes = binary_report(f);
  std::copy(bytes.begin(), bytes.end(), record.raw_report.begin());
  decode_report_fields(record);
  return record;
}

gps_report_convert decode_packed(const packed_fields& f) {
  gps_report_convert record;
  record.message_type = 3;
  const std::string bytes = packed_report(f);
  std::copy(bytes.begin(), bytes.end(), record.raw_report_ext.begin());
  decode_report_fields(record);
  return record;
}

}  // namespace

TEST(BinaryLayout, AllZeroBytes) {
  binary_fields f{};
  f = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const auto r = decode_binary(f);
  for (const text_field* field :
       {&r.time_hour, &r.time_minute, &r.time_second, &r.time_millisecond,
        &r.date_year, &r.date_month, &r.date_day, &r.latitude_degrees,
        &r.latitude_minutes, &r.latitude_minute_fraction, &r.longitude_degrees,
        &r.longitude_minutes, &r.longitude_minute_fraction, &r.satellites_used,
        &r.altitude_whole, &r.altitude_fraction, &r.ground_speed_whole,
        &r.ground_speed_fraction, &r.course_whole}) {
    EXPECT_EQ(*field, "0");
  }
  EXPECT_EQ(r.course_fraction, "00");
  EXPECT_EQ(r.ground_speed_knots, "0.0");
  EXPECT_EQ(r.fix_valid + r.latitude_south + r.longitude_west + r.emergency +
                r.dead_reckoning,
            0);
  EXPECT_EQ(r.report_century, "20");
}

TEST(BinaryLayout, FieldsAndFlags) {
  struct row {
    const char* name;
    binary_fields fields;
    std::string altitude, speed_knots, course_whole, course_fraction;
    unsigned char modem_id_in_message;
    std::string error;
  };
  binary_fields negative_zero;
  negative_zero.altitude = 0;
  negative_zero.flags = 0x10;
  binary_fields extended;
  extended.altitude = 12;
  extended.altitude_more = 1045;
  extended.flags = 0x08 | 0x04;
  binary_fields extended_short = extended;
  extended_short.altitude_more = 10;
  binary_fields fast;
  fast.speed = 100;
  fast.speed_tenths = 5;
  fast.course = 35999;
  binary_fields slow_course;
  slow_course.course = 5;
  const row rows[] = {
      {"negative zero altitude", negative_zero, "-0", "6.64", "45", "60", 0, ""},
      {"extended altitude drops the leading digit", extended, "12045", "6.64",
       "45", "60", 1, ""},
      {"extension 10 adds one zero", extended_short, "120", "6.64", "45", "60", 1, ""},
      {"knots rounded to two decimals", fast, "123", "54.27", "359", "99", 0, ""},
      {"course fraction padded", slow_course, "123", "6.64", "0", "05", 0, ""},
  };
  for (const row& r : rows) {
    const auto record = decode_binary(r.fields);
    EXPECT_EQ(record.altitude_whole, r.altitude) << r.name;
    EXPECT_EQ(record.ground_speed_knots, r.speed_knots) << r.name;
    EXPECT_EQ(record.course_whole, r.course_whole) << r.name;
    EXPECT_EQ(record.course_fraction, r.course_fraction) << r.name;
    EXPECT_EQ(record.modem_id_in_message, r.modem_id_in_message) << r.name;
    EXPECT_EQ(record.error_text, r.error) << r.name;
  }
}

TEST(BinaryLayout, InvalidAltitudeExtensionStopsTheDecode) {
  gps_report_convert record;
  record.message_type = 1;
  record.altitude_fraction = "earlier";
  record.ground_speed_whole = "earlier";
  binary_fields f;
  f.altitude_more = 9;
  f.flags = 0x08;
  const std::string bytes = binary_report(f);
  std::copy(bytes.begin(), bytes.end(), record.raw_report.begin());
  decode_report_fields(record);
  EXPECT_EQ(record.error_text, "Invalid Altitude");
  EXPECT_EQ(record.altitude_fraction, "earlier");
  EXPECT_EQ(record.ground_speed_whole, "earlier");
}

TEST(PackedLayout, TimeDateAndFlags) {
  packed_fields f;
  f.hour = 12;
  f.year = 57;
  f.month = 3;
  f.second = 5;
  f.vv_whole_digits = 3;  // byte 2 = 0xC5
  f.hundredths = 12;
  f.emergency = 1;        // byte 3 = 0x8C
  f.flags = 0x80 | 0x02 | 0x01;
  const auto r = decode_packed(f);
  EXPECT_EQ(r.time_hour, "12");
  EXPECT_EQ(r.date_year, "57");
  EXPECT_EQ(r.date_month, "3");
  EXPECT_EQ(r.time_second, "5");
  EXPECT_EQ(r.time_centisecond, "12");
  EXPECT_EQ(r.time_millisecond, "120");
  EXPECT_EQ(r.emergency, 1);
  EXPECT_EQ(r.dead_reckoning, 1);
  EXPECT_EQ(r.fix_2d, 1);
  EXPECT_EQ(r.vertical_velocity_whole, "12");  // digits 01250, three whole
  EXPECT_EQ(r.vertical_velocity_fraction, "5");
}

TEST(PackedLayout, SharedFractionByteAndOverlongGroups) {
  packed_fields f;
  f.lat_fraction_5 = 4;
  f.lon_fraction_1 = 7;
  f.altitude_23 = 150;
  f.altitude_whole_digits = 8;
  const auto r = decode_packed(f);
  EXPECT_EQ(r.latitude_minute_fraction, "12344");
  EXPECT_EQ(r.longitude_minute_fraction, "77891");
  // Digits 0150234 5 -> eight characters, all of them whole.
  EXPECT_EQ(r.altitude_whole, "1502345");
  EXPECT_EQ(r.altitude_fraction, "0");
  EXPECT_EQ(r.error_text, "");
}

TEST(PackedLayout, Splits) {
  struct row {
    const char* name;
    int whole_digits, digit_1, d23, d45, d67, flags;
    std::string whole, fraction;
  };
  const row rows[] = {
      {"five whole digits", 5, 0, 1, 23, 45, 0x80, "123", "45"},
      {"no whole digits", 0, 0, 1, 23, 45, 0x80, "12345", "0"},
      {"all seven whole", 7, 0, 1, 23, 45, 0x80, "12345", "0"},
      {"trailing zeros dropped", 5, 0, 0, 12, 30, 0x80, "12", "3"},
      {"negative zero has no sign", 3, 0, 0, 0, 0, 0x90, "0", "0"},
      {"negative", 5, 0, 1, 23, 45, 0x90, "-123", "45"},
  };
  for (const row& r : rows) {
    packed_fields f;
    f.altitude_whole_digits = r.whole_digits;
    f.altitude_digit_1 = r.digit_1;
    f.altitude_23 = r.d23;
    f.altitude_45 = r.d45;
    f.altitude_67 = r.d67;
    f.flags = r.flags;
    const auto record = decode_packed(f);
    EXPECT_EQ(record.altitude_whole, r.whole) << r.name;
    EXPECT_EQ(record.altitude_fraction, r.fraction) << r.name;
  }
}

TEST(PackedLayout, SpeedAndErrors) {
  packed_fields slow;
  slow.speed_whole_digits = 3;
  slow.speed_digit_1 = 0;
  slow.speed_23 = 1;
  slow.speed_45 = 25;
  auto r = decode_packed(slow);
  EXPECT_EQ(r.ground_speed_whole, "1");
  EXPECT_EQ(r.ground_speed_fraction, "25");
  EXPECT_EQ(r.ground_speed_knots, "0.67");

  packed_fields bad_altitude;
  bad_altitude.altitude_whole_digits = 8;
  EXPECT_EQ(decode_packed(bad_altitude).error_text, "Invalid Altitude");

  packed_fields bad_speed;
  bad_speed.speed_whole_digits = 6;
  r = decode_packed(bad_speed);
  EXPECT_EQ(r.error_text, "Invalid Velocity");
  EXPECT_EQ(r.altitude_whole, "123");  // set before the speed failed
}

TEST(OtherTypes, OnlyCenturyAndDeadReckoningChange) {
  gps_report_convert record;
  record.message_type = 4;
  record.century = "19";
  record.dead_reckoning = 1;
  record.time_hour = "kept";
  decode_report_fields(record);
  EXPECT_EQ(record.report_century, "19");
  EXPECT_EQ(record.dead_reckoning, 0);
  EXPECT_EQ(record.time_hour, "kept");
}

TEST(KnotsText, TwoDecimalsExactlyAsAFormattedPrint) {
  // Every speed the two layouts can send near the rounding edges, and a
  // spread of others.
  std::vector<double> speeds;
  for (int whole = 0; whole < 2000; ++whole) {
    for (int tenths = 0; tenths < 10; ++tenths) speeds.push_back(whole + tenths * 0.1);
  }
  for (double v = 0.001; v < 1e6; v *= 1.37) speeds.push_back(v);
  speeds.push_back(65535 + 25.5);
  for (const double kmh : speeds) {
    const double knots = kmh * kmh_to_knots;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.2f", knots);
    text_field field;
    set_knots_text(field, knots);
    ASSERT_EQ(field, knots == 0 ? "0.0" : expected) << kmh;
  }
  // Values at and next to every half-hundredth up to 100000 knots: the
  // rounding edges, from either side.
  for (std::int64_t n = 0; n < 10000000; n += 37) {
    const double half = (static_cast<double>(n) + 0.5) / 100;
    for (const double knots :
         {half, std::nextafter(half, 0.0), std::nextafter(half, 1e18)}) {
      char expected[64];
      std::snprintf(expected, sizeof expected, "%.2f", knots);
      text_field field;
      set_knots_text(field, knots);
      ASSERT_EQ(field, expected) << knots;
    }
  }
  // Exact ties round to even, as the formatted print does.
  for (const double knots : {0.125, 0.375, 0.625, 2.5, 1.005, 2.675, 53999999.46}) {
    char expected[400];
    std::snprintf(expected, sizeof expected, "%.2f", knots);
    text_field field;
    set_knots_text(field, knots);
    EXPECT_EQ(field, expected) << knots;
  }
}

TEST(PackedLayout, KnotsOfEveryPackedSpeedMatchTheDecimalReading) {
  for (int whole_digits = 0; whole_digits <= 5; ++whole_digits) {
    for (int digit_1 = 0; digit_1 < 10; ++digit_1) {
      for (int d23 = 0; d23 < 100; ++d23) {
        for (int d45 = 0; d45 < 100; d45 += 7) {
          packed_fields f;
          f.speed_whole_digits = whole_digits;
          f.speed_digit_1 = digit_1;
          f.speed_23 = d23;
          f.speed_45 = d45;
          const auto r = decode_packed(f);
          const std::string speed =
              r.ground_speed_whole.str() + "." + r.ground_speed_fraction.str();
          const double knots = std::strtod(speed.c_str(), nullptr) * kmh_to_knots;
          char expected[64];
          std::snprintf(expected, sizeof expected, "%.2f", knots);
          ASSERT_EQ(r.ground_speed_knots, knots == 0 ? "0.0" : expected) << speed;
        }
      }
    }
  }
}
