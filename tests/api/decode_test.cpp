// The typed decoding: its values agree with what formats 7 and 10 print,
// it fails exactly where format 7 fails, and it refuses to guess a report
// whose date, time or place cannot be real.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>

#include "kaldo/kaldo.h"
#include "tests/api/message_generator.h"
#include "tests/test_support.h"

namespace {

using namespace std::chrono;
using std::chrono::day;
using std::chrono::month;
using std::chrono::year;

constexpr double kmh_to_knots = 0.5399568;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The clock a format prints for an instant: hundredths, half up for the
// milliseconds of the binary layout.
struct printed_clock {
  int year, month, day, hour, minute, second, hundredths;
};

printed_clock clock_printed_for(const kaldo::position& p) {
  kaldo::utc_time t = p.time;
  if (p.precision == kaldo::time_precision::milliseconds) {
    t = floor<duration<long long, std::centi>>(t + milliseconds{5});
  }
  const sys_days date = floor<days>(t);
  const year_month_day ymd{date};
  const hh_mm_ss<milliseconds> time{t - date};
  return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())), static_cast<int>(time.hours().count()),
          static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
          static_cast<int>(time.subseconds().count() / 10)};
}

const char* easy_fix_line(kaldo::fix_state fix) {
  switch (fix) {
    case kaldo::fix_state::fix_3d:
    case kaldo::fix_state::valid: return "Valid Position Fix";
    case kaldo::fix_state::fix_2d: return "2D Fix";
    case kaldo::fix_state::dead_reckoning: return "Dead Reckoning";
    default: return "Invalid Position Fix";
  }
}

int gga_quality(kaldo::fix_state fix) {
  switch (fix) {
    case kaldo::fix_state::fix_3d:
    case kaldo::fix_state::fix_2d:
    case kaldo::fix_state::valid: return 1;
    case kaldo::fix_state::dead_reckoning: return 6;
    default: return 0;
  }
}

// "ddmm.fffff" or "dddmm.fffff" and its hemisphere letter, in degrees.
double nmea_degrees(const std::string& text, int degree_digits, const std::string& hemisphere) {
  const double value = std::stod(text.substr(0, static_cast<std::size_t>(degree_digits))) +
                       std::stod(text.substr(static_cast<std::size_t>(degree_digits))) / 60;
  return hemisphere == "S" || hemisphere == "W" ? -value : value;
}

// Checks one report against its format 7 block (the lines from "UTC Time=")
// and its three format 10 sentences.
void expect_printed(const kaldo::position& p, const std::vector<std::string>& easy,
                    const std::vector<std::string>& nmea, const std::string& where) {
  SCOPED_TRACE(where);
  ASSERT_GE(easy.size(), 9u);
  ASSERT_EQ(nmea.size(), 3u);
  const printed_clock c = clock_printed_for(p);

  int h, mi, s, cc, mo, d, y;
  ASSERT_EQ(std::sscanf(easy[0].c_str(), "UTC Time=%d:%d:%d.%d", &h, &mi, &s, &cc), 4) << easy[0];
  ASSERT_EQ(std::sscanf(easy[1].c_str(), "UTC Date=%d-%d-%d", &mo, &d, &y), 3) << easy[1];
  EXPECT_EQ((std::vector<int>{h, mi, s, cc, mo, d, y}),
            (std::vector<int>{c.hour, c.minute, c.second, c.hundredths, c.month, c.day,
                              c.year % 100}));

  int lat_degrees, lon_degrees;
  double lat_minutes, lon_minutes;
  char lat_side[8], lon_side[8];
  ASSERT_EQ(std::sscanf(easy[2].c_str(), "Latitude=%d:%lf %7s", &lat_degrees, &lat_minutes, lat_side), 3);
  ASSERT_EQ(std::sscanf(easy[3].c_str(), "Longitude=%d:%lf %7s", &lon_degrees, &lon_minutes, lon_side), 3);
  const double latitude = (lat_degrees + lat_minutes / 60) * (lat_side == std::string("South") ? -1 : 1);
  const double longitude = (lon_degrees + lon_minutes / 60) * (lon_side == std::string("West") ? -1 : 1);
  EXPECT_NEAR(p.latitude, latitude, 1e-12);
  EXPECT_NEAR(p.longitude, longitude, 1e-12);

  // Every digit of these is printed, and both sides read the same decimal
  // text correctly rounded: the doubles are equal.
  double altitude, speed, course;
  ASSERT_EQ(std::sscanf(easy[4].c_str(), "Altitude=%lf meters", &altitude), 1) << easy[4];
  ASSERT_EQ(std::sscanf(easy[5].c_str(), "Ground Velocity=%lf km/h at %lf", &speed, &course), 2);
  EXPECT_EQ(p.altitude_m, altitude);
  EXPECT_EQ(p.speed_kmh, speed);
  EXPECT_EQ(p.course_deg, course);
  if (p.vertical_velocity_ms) {
    double vertical;
    ASSERT_EQ(std::sscanf(easy[6].c_str(), "Vertical Velocity=%lf m/s", &vertical), 1) << easy[6];
    EXPECT_EQ(*p.vertical_velocity_ms, vertical);
  } else {
    EXPECT_EQ(easy[6], "Vertical Velocity=? m/s");
  }
  EXPECT_EQ(easy[7], easy_fix_line(p.fix));
  EXPECT_EQ(easy[8], "Satellites Used=" + std::string(p.satellites < 10 ? "0" : "") +
                         std::to_string(p.satellites));

  const auto gga = split(nmea[0], ',');
  const auto vtg = split(nmea[1], ',');
  const auto zda = split(nmea[2], ',');
  ASSERT_GE(gga.size(), 10u);
  ASSERT_GE(vtg.size(), 8u);
  ASSERT_GE(zda.size(), 5u);
  char expected_time[16];
  std::snprintf(expected_time, sizeof expected_time, "%02d%02d%02d.%02d", c.hour, c.minute,
                c.second, c.hundredths);
  EXPECT_EQ(gga[1], expected_time);
  EXPECT_EQ(zda[1], expected_time);
  EXPECT_EQ((std::vector<int>{std::stoi(zda[2]), std::stoi(zda[3]), std::stoi(zda[4])}),
            (std::vector<int>{c.day, c.month, c.year}));
  EXPECT_NEAR(p.latitude, nmea_degrees(gga[2], 2, gga[3]), 1e-12);
  EXPECT_NEAR(p.longitude, nmea_degrees(gga[4], 3, gga[5]), 1e-12);
  EXPECT_EQ(std::stoi(gga[6]), gga_quality(p.fix));
  EXPECT_EQ(std::stoi(gga[7]), p.satellites);
  EXPECT_EQ(std::stod(gga[9]), p.altitude_m);
  EXPECT_EQ(std::stod(vtg[1]), p.course_deg);
  EXPECT_EQ(std::stod(vtg[7].substr(0, vtg[7].find('*'))), p.speed_kmh);
  // The binary layout sends tenths of a km/h in one byte; the knots are
  // computed from tenths while the km/h are printed as the byte's digits,
  // so only a byte below 10 gives both the same speed.
  const std::string kmh_fraction = easy[5].substr(easy[5].find('.') + 1);
  if (p.precision == kaldo::time_precision::hundredths || kmh_fraction[1] == ' ') {
    EXPECT_NEAR(std::stod(vtg[5]), p.speed_kmh * kmh_to_knots, 0.005 + 1e-9) << vtg[5];
  }
}

struct property_counts {
  int converted = 0, failed = 0, positions = 0, problems = 0, sms = 0, packed = 0, binary = 0;
};

}  // namespace

TEST(TypedDecoding, AgreesWithFormats7And10OnGeneratedMessages) {
  message_generator generator(20260512);
  property_counts counts;
  for (int n = 0; n < 6000; ++n) {
    const generated_message m = generator.next();
    SCOPED_TRACE("message " + std::to_string(n));
    kaldo::message msg;
    msg.bytes = m.bytes;
    msg.kind = m.kind;
    kaldo::settings how = m.how;
    how.format = 7;
    const kaldo::conversion easy = kaldo::convert_message(msg, how);
    how.format = 10;
    const kaldo::conversion nmea = kaldo::convert_message(msg, how);
    const kaldo::decoded_message typed = kaldo::decode_message(msg, m.how);

    ASSERT_EQ(typed.result, easy.result);
    ASSERT_EQ(typed.kind, easy.kind);
    if (!easy.converted()) {
      ++counts.failed;
      EXPECT_EQ(typed.error, easy.text);
      EXPECT_TRUE(typed.reports.empty());
      continue;
    }
    ++counts.converted;
    if (m.kind == kaldo::encoding::sms_text) ++counts.sms;
    ASSERT_TRUE(nmea.converted());
    EXPECT_TRUE(typed.error.empty());
    ASSERT_EQ(typed.reports.size(), m.reports.size());

    const auto easy_lines = lines_of(easy.text);
    const auto nmea_lines = lines_of(nmea.text);
    EXPECT_EQ(easy_lines[0], "ModemID=" + typed.modem_id);
    if (!m.reports.empty()) {
      EXPECT_EQ(easy_lines[1], m.reports[0].emergency ? "Emergency" : "Normal");
    }
    std::vector<std::size_t> blocks;  // where each report's block starts
    for (std::size_t i = 0; i < easy_lines.size(); ++i) {
      if (starts_with(easy_lines[i], "UTC Time=")) blocks.push_back(i);
    }
    ASSERT_EQ(blocks.size(), m.reports.size());
    for (std::size_t i = 0; i < m.reports.size(); ++i) {
      const kaldo::report& r = typed.reports[i];
      EXPECT_EQ(r.index, static_cast<int>(i));
      if (!m.reports[i].real) {
        ++counts.problems;
        EXPECT_FALSE(r.position) << "report " << i;
        EXPECT_FALSE(r.problem.empty()) << "report " << i;
        continue;
      }
      ASSERT_TRUE(r.position) << "report " << i << ": " << r.problem;
      EXPECT_TRUE(r.problem.empty());
      ++counts.positions;
      ++(typed.message_type >= 3 ? counts.packed : counts.binary);
      EXPECT_EQ(r.position->emergency, m.reports[i].emergency);
      const std::vector<std::string> block(easy_lines.begin() + static_cast<long>(blocks[i]),
                                           easy_lines.begin() + static_cast<long>(blocks[i] + 9));
      // Format 10: the modem id line, the status line, then three per report.
      const auto first = nmea_lines.begin() + 2 + 3 * static_cast<long>(i);
      expect_printed(*r.position, block, std::vector<std::string>(first, first + 3),
                     "report " + std::to_string(i));
    }
    if (testing::Test::HasFatalFailure()) return;
  }
  // The generator must reach every kind of case for the test to mean much.
  EXPECT_GT(counts.converted, 2000);
  EXPECT_GT(counts.failed, 1000);
  EXPECT_GT(counts.positions, 3000);
  EXPECT_GT(counts.problems, 500);
  EXPECT_GT(counts.sms, 300);
  EXPECT_GT(counts.packed, 1000);
  EXPECT_GT(counts.binary, 1000);
}

namespace {

kaldo::decoded_message typed_of(const std::string& bytes, kaldo::settings how = {},
                                kaldo::encoding kind = kaldo::encoding::sbd_payload,
                                std::uint64_t full_length = 0) {
  kaldo::message msg;
  msg.bytes = bytes;
  msg.kind = kind;
  msg.full_length = full_length;
  return kaldo::decode_message(msg, how);
}

kaldo::utc_time utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms) {
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} +
         milliseconds{ms};
}

struct reason_case {
  const char* name;
  bool packed;
  std::function<void(binary_fields&)> binary_change;
  std::function<void(packed_fields&)> packed_change;
  const char* reason;  // empty: the report is real
};

}  // namespace

TEST(TypedDecoding, ReportsThatNameNoRealInstantOrPlaceSayWhy) {
  const auto b = [](auto change) { return std::function<void(binary_fields&)>(change); };
  const auto p = [](auto change) { return std::function<void(packed_fields&)>(change); };
  const reason_case cases[] = {
      {"month 13", false, b([](binary_fields& f) { f.month = 13; }), {},
       "month 13 is not a month of the year"},
      {"month 0", false, b([](binary_fields& f) { f.month = 0; }), {},
       "month 0 is not a month of the year"},
      {"day 32", false, b([](binary_fields& f) { f.day = 32; }), {},
       "day 32 is beyond the 31 days of month 5 of 2008"},
      {"31 April", false, b([](binary_fields& f) { f.month = 4; f.day = 31; }), {},
       "day 31 is beyond the 30 days of month 4 of 2008"},
      {"29 February of 2007, not a leap year", false,
       b([](binary_fields& f) { f.year = 7; f.month = 2; f.day = 29; }), {},
       "day 29 is beyond the 28 days of month 2 of 2007"},
      {"29 February of 2008, a leap year", false,
       b([](binary_fields& f) { f.month = 2; f.day = 29; }), {}, ""},
      {"day 0", false, b([](binary_fields& f) { f.day = 0; }), {},
       "day 0 is not a day of the month"},
      {"hour 24", false, b([](binary_fields& f) { f.hour = 24; }), {},
       "hour 24 is not an hour of the day"},
      {"hour 25 of the packed layout", true, {}, p([](packed_fields& f) { f.hour = 25; }),
       "hour 25 is not an hour of the day"},
      {"minute 60", false, b([](binary_fields& f) { f.minute = 60; }), {},
       "minute 60 is not a minute of the hour"},
      {"second 61", false, b([](binary_fields& f) { f.second = 61; }), {},
       "second 61 is not a second of the minute"},
      {"second 63 of the packed layout", true, {}, p([](packed_fields& f) { f.second = 63; }),
       "second 63 is not a second of the minute"},
      {"latitude 91", false, b([](binary_fields& f) { f.lat_degrees = 91; }), {},
       "latitude 91:45.12340 is beyond 90 degrees"},
      {"latitude a hundred-thousandth of a minute beyond 90", true, {},
       p([](packed_fields& f) {
         f.lat_degrees = 90;
         f.lat_minutes = f.lat_fraction_12 = f.lat_fraction_34 = 0;
         f.lat_fraction_5 = 1;
       }),
       "latitude 90:00.00001 is beyond 90 degrees"},
      {"latitude exactly 90", false,
       b([](binary_fields& f) { f.lat_degrees = 90; f.lat_minutes = f.lat_fraction = 0; }), {},
       ""},
      {"latitude minute 60", false, b([](binary_fields& f) { f.lat_minutes = 60; }), {},
       "latitude minute 60 is not a minute of a degree"},
      {"longitude 181", true, {}, p([](packed_fields& f) { f.lon_degrees = 181; }),
       "longitude 181:50.67891 is beyond 180 degrees"},
      {"longitude exactly 180", true, {},
       p([](packed_fields& f) {
         f.lon_degrees = 180;
         f.lon_minutes = f.lon_fraction_1 = f.lon_fraction_23 = f.lon_fraction_45 = 0;
       }),
       ""},
      {"longitude minute 99", false, b([](binary_fields& f) { f.lon_minutes = 99; }), {},
       "longitude minute 99 is not a minute of a degree"},
      {"every reason at once", false,
       b([](binary_fields& f) { f.month = 13; f.second = 60; f.lon_degrees = 200; }), {},
       "month 13 is not a month of the year; second 60 is not a second of the minute; "
       "longitude 200:50.12340 is beyond 180 degrees"},
  };
  for (const reason_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string odd, fine;
    if (c.packed) {
      packed_fields f;
      c.packed_change(f);
      odd = packed_report(f);
      fine = packed_report({});
    } else {
      binary_fields f;
      c.binary_change(f);
      odd = binary_report(f);
      fine = binary_report({});
    }
    // The odd report between two ordinary ones, which it must not touch.
    const auto typed = typed_of(make_message(c.packed ? 3 : 1, {fine, odd, fine}));
    ASSERT_EQ(typed.result, kaldo::outcome::converted) << typed.error;
    ASSERT_EQ(typed.reports.size(), 3u);
    EXPECT_EQ(typed.reports[1].problem, c.reason);
    EXPECT_EQ(typed.reports[1].position.has_value(), std::string(c.reason).empty());
    EXPECT_TRUE(typed.reports[0].position);
    EXPECT_TRUE(typed.reports[2].position);
    EXPECT_EQ(typed.reports[2].index, 2);
  }
}

TEST(TypedDecoding, ValuesAtFullPrecision) {
  {
    SCOPED_TRACE("binary layout, as the builder's defaults");
    const auto typed = typed_of(make_message(1, {binary_report({})}));
    ASSERT_EQ(typed.reports.size(), 1u);
    const kaldo::position& p = typed.reports[0].position.value();
    EXPECT_EQ(p.time, utc(2008, 5, 17, 12, 30, 5, 250));
    EXPECT_EQ(p.precision, kaldo::time_precision::milliseconds);
    EXPECT_DOUBLE_EQ(p.latitude, 33 + 45.1234 / 60);
    EXPECT_DOUBLE_EQ(p.longitude, 117 + 50.1234 / 60);
    EXPECT_EQ(p.altitude_m, 123.4);
    EXPECT_EQ(p.speed_kmh, 12.3);
    EXPECT_EQ(p.course_deg, 45.6);
    EXPECT_FALSE(p.vertical_velocity_ms);
    EXPECT_EQ(p.satellites, 9);
    EXPECT_EQ(p.fix, kaldo::fix_state::valid);
    EXPECT_FALSE(p.emergency);
    EXPECT_EQ(typed.message_type, 1);
  }
  {
    SCOPED_TRACE("packed layout, south, west, negative altitude and climb, emergency");
    packed_fields f;
    f.flags = 0x80 | 0x20 | 0x40 | 0x10 | 0x08;
    f.emergency = 1;
    const auto typed = typed_of(make_message(103, {packed_report(f)}));
    ASSERT_EQ(typed.reports.size(), 1u);
    const kaldo::position& p = typed.reports[0].position.value();
    EXPECT_EQ(p.time, utc(2008, 5, 17, 12, 30, 5, 250));
    EXPECT_EQ(p.precision, kaldo::time_precision::hundredths);
    EXPECT_DOUBLE_EQ(p.latitude, -(33 + 45.12345 / 60));
    EXPECT_DOUBLE_EQ(p.longitude, -(117 + 50.67891 / 60));
    EXPECT_EQ(p.altitude_m, -123.45);
    EXPECT_EQ(p.speed_kmh, 12.5);
    EXPECT_EQ(p.vertical_velocity_ms, -0.125);
    EXPECT_TRUE(p.emergency);
    EXPECT_EQ(typed.message_type, 103);
  }
  {
    SCOPED_TRACE("milliseconds that format 7 rounds into the next century are kept");
    binary_fields f;
    f.year = 99, f.month = 12, f.day = 31, f.hour = 23, f.minute = 59, f.second = 59;
    f.millisecond = 995;
    const auto typed = typed_of(make_message(2, {binary_report(f)}));
    EXPECT_EQ(typed.reports.at(0).position.value().time, utc(2099, 12, 31, 23, 59, 59, 995));
  }
}

TEST(TypedDecoding, FixStatesOfBothLayouts) {
  const struct {
    const char* name;
    int type, flags;
    kaldo::fix_state fix;
  } cases[] = {
      {"packed valid 3D", 3, 0x80, kaldo::fix_state::fix_3d},
      {"packed valid 2D", 3, 0x81, kaldo::fix_state::fix_2d},
      {"packed valid wins over dead reckoning", 3, 0x82, kaldo::fix_state::fix_3d},
      {"packed dead reckoning", 3, 0x02, kaldo::fix_state::dead_reckoning},
      {"packed no fix", 3, 0x01, kaldo::fix_state::none},
      {"binary valid", 1, 0x80, kaldo::fix_state::valid},
      {"binary invalid whatever the low bits", 1, 0x03, kaldo::fix_state::invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string report;
    if (c.type == 3) {
      packed_fields f;
      f.flags = c.flags;
      report = packed_report(f);
    } else {
      binary_fields f;
      f.flags = c.flags;
      report = binary_report(f);
    }
    const auto typed = typed_of(make_message(c.type, {report}));
    EXPECT_EQ(typed.reports.at(0).position.value().fix, c.fix);
  }
}

TEST(TypedDecoding, FailsWhereFormat7FailsWithTheSameText) {
  binary_fields hour_100;
  hour_100.hour = 100;
  binary_fields millisecond_1000;
  millisecond_1000.millisecond = 1000;
  binary_fields satellites_100;
  satellites_100.satellites = 100;
  binary_fields short_altitude;
  short_altitude.flags = 0x88;
  short_altitude.altitude_more = 9;
  packed_fields eight_altitude_digits;
  eight_altitude_digits.altitude_whole_digits = 8;
  packed_fields six_speed_digits;
  six_speed_digits.speed_whole_digits = 6;
  packed_fields hundredths_100;
  hundredths_100.hundredths = 100;
  const std::string fine = binary_report({});
  const std::string one_report = make_message(1, {fine});
  std::string sms = "g1";
  for (const unsigned char c : packed_report({})) {
    sms += "0123456789ABCDEF"[c >> 4];
    sms += "0123456789ABCDEF"[c & 15];
  }
  std::string sms_lower = sms;
  sms_lower[10] = 'a';
  std::string oversized = one_report + std::string(7212 - one_report.size(), 'x');

  const struct {
    const char* name;
    std::string bytes;
    kaldo::encoding kind;
    std::uint64_t full_length;
    std::string century;
    kaldo::outcome result;
    kaldo::message_kind message;
    const char* text;
  } cases[] = {
      {"an hour too wide to print", make_message(1, {binary_report(hour_100)}),
       kaldo::encoding::sbd_payload, 0, "20", kaldo::outcome::failed,
       kaldo::message_kind::position_reports, "Time Conversion:Corrupt Data: 100;"},
      {"milliseconds beyond 999", make_message(1, {binary_report(millisecond_1000)}),
       kaldo::encoding::sbd_payload, 0, "20", kaldo::outcome::failed,
       kaldo::message_kind::position_reports, "Time Conversion:Corrupt Data: 1000;"},
      {"hundredths beyond 99", make_message(3, {packed_report(hundredths_100)}),
       kaldo::encoding::sbd_payload, 0, "20", kaldo::outcome::failed,
       kaldo::message_kind::position_reports,
       "Time Conversion:Corrupt Data: 1000;Corrupt Data: 100;"},
      {"satellites in the last report, under the longitude's label",
       make_message(1, {fine, binary_report(satellites_100)}), kaldo::encoding::sbd_payload, 0,
       "20", kaldo::outcome::failed, kaldo::message_kind::position_reports,
       "Longitude Conversion:Corrupt Data: 100;"},
      {"a corrupt report, then one that does not decode",
       make_message(1, {binary_report(hour_100), binary_report(short_altitude), fine}),
       kaldo::encoding::sbd_payload, 0, "20", kaldo::outcome::failed,
       kaldo::message_kind::position_reports,
       "Time Conversion:Corrupt Data: 100;Invalid Altitude"},
      {"packed altitude with more whole digits than digits",
       make_message(3, {packed_report(eight_altitude_digits)}), kaldo::encoding::sbd_payload, 0,
       "20", kaldo::outcome::failed, kaldo::message_kind::position_reports, "Invalid Altitude"},
      {"packed speed with more whole digits than digits",
       make_message(3, {packed_report(six_speed_digits)}), kaldo::encoding::sbd_payload, 0,
       "20", kaldo::outcome::failed, kaldo::message_kind::position_reports, "Invalid Velocity"},
      {"type 4", make_message(4, {fine}), kaldo::encoding::sbd_payload, 0, "20",
       kaldo::outcome::failed, kaldo::message_kind::position_reports, "Invalid Format\r\n"},
      {"length that does not fit the count", make_message(1, {fine}, std::string(70, 'x')),
       kaldo::encoding::sbd_payload, 0, "20", kaldo::outcome::failed,
       kaldo::message_kind::position_reports, "Invalid Length\r\n"},
      {"29 bytes", std::string(29, '\x01'), kaldo::encoding::sbd_payload, 0, "20",
       kaldo::outcome::failed, kaldo::message_kind::position_reports,
       "Less than Minimum Length\r\n"},
      {"a payload of seven bytes \"Updated\"", "Updated", kaldo::encoding::sbd_payload, 0, "20",
       kaldo::outcome::not_position_report, kaldo::message_kind::remote_update_response,
       "This is a Remote Update Response not a GPS Report.\r\n"},
      {"an SMS chat message", "s hello", kaldo::encoding::sms_text, 0, "20",
       kaldo::outcome::not_position_report, kaldo::message_kind::chat_message,
       "This is a Chat Message not a GPS Report.\r\n"},
      {"an SMS chat message response", "r ok", kaldo::encoding::sms_text, 0, "20",
       kaldo::outcome::not_position_report, kaldo::message_kind::chat_message_response,
       "This is a Chat Message Response not a GPS Report.\r\n"},
      {"an SMS text with a lower-case hexadecimal digit", sms_lower, kaldo::encoding::sms_text,
       0, "20", kaldo::outcome::failed, kaldo::message_kind::position_reports,
       "Invalid Format\r\n"},
      {"an SMS text with a NUL byte", sms + std::string(1, '\0'), kaldo::encoding::sms_text, 0,
       "20", kaldo::outcome::failed, kaldo::message_kind::position_reports, "Invalid Length"},
      {"an SMS text too short for its first report", sms.substr(0, 40),
       kaldo::encoding::sms_text, 0, "20", kaldo::outcome::failed,
       kaldo::message_kind::position_reports, "Less than Minimum Length\r\n"},
      {"an attachment longer than any message", oversized, kaldo::encoding::sbd_payload,
       100000, "20", kaldo::outcome::failed, kaldo::message_kind::position_reports,
       "Invalid Length\r\n"},
      {"an oversized remote update response", "tr" + oversized, kaldo::encoding::sbd_payload,
       100000, "20", kaldo::outcome::not_position_report,
       kaldo::message_kind::remote_update_response,
       "This is a Remote Update Response not a GPS Report.\r\n"},
      {"a century that is not two digits", one_report, kaldo::encoding::sbd_payload, 0, "2x",
       kaldo::outcome::invalid_settings, kaldo::message_kind::position_reports,
       "The format for adding the millinium and century is \\Ymc where mc represents the "
       "millinium and century.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kaldo::settings how;
    how.century = c.century;
    how.modem_id = "300034012345670";
    kaldo::message msg;
    msg.bytes = c.bytes;
    msg.kind = c.kind;
    msg.full_length = c.full_length;
    const kaldo::decoded_message typed = kaldo::decode_message(msg, how);
    const kaldo::conversion easy = kaldo::convert_message(msg, how);
    EXPECT_EQ(typed.result, c.result);
    EXPECT_EQ(typed.kind, c.message);
    EXPECT_EQ(typed.error, c.text);
    EXPECT_EQ(easy.result, typed.result);
    EXPECT_EQ(easy.kind, typed.kind);
    EXPECT_EQ(easy.text, typed.error);
    EXPECT_TRUE(typed.reports.empty());
    EXPECT_TRUE(typed.modem_id.empty());
  }
}

TEST(TypedDecoding, ModemIdAsFormat7PrintsItAndAsEveryConversionKnowsIt) {
  binary_fields announcing;
  announcing.flags = 0x84;
  packed_fields announcing_packed;
  announcing_packed.flags = 0x84;
  const std::string sms_tail_message = [&] {
    const std::string bytes = make_message(1, {binary_report(announcing)}, "300_12");
    std::string text = bytes.substr(0, 1) + "1";
    for (std::size_t i = 2; i < 30; ++i) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      text += "0123456789ABCDEF"[c >> 4];
      text += "0123456789ABCDEF"[c & 15];
    }
    return text + bytes.substr(30);
  }();
  const struct {
    const char* name;
    std::string bytes;
    kaldo::encoding kind;
    std::string given;
    std::string expected;  // as format 7 prints it
  } cases[] = {
      {"the given id when no report announces one", make_message(1, {binary_report({})}, "999"),
       kaldo::encoding::sbd_payload, "300034012345670", "300034012345670"},
      {"neither given nor announced", make_message(1, {binary_report({})}),
       kaldo::encoding::sbd_payload, "", "No ModemID"},
      {"the tail replaces the given id, up to its carriage return; underscores are spaces",
       make_message(1, {binary_report(announcing)}, "300_12\rxyz"),
       kaldo::encoding::sbd_payload, "300034012345670", "300 12"},
      {"announced without a tail", make_message(1, {binary_report(announcing)}),
       kaldo::encoding::sbd_payload, "300034012345670", "No ModemID"},
      {"type 103 writes its tail in the GSM alphabet",
       make_message(103, {packed_report(announcing_packed)}, "\x1b<\x24_AB7"),
       kaldo::encoding::sbd_payload, "", "[\xA4\xA7" "AB7"},
      {"an SMS text keeps its underscores", sms_tail_message, kaldo::encoding::sms_text, "",
       "300_12"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kaldo::settings how;
    how.modem_id = c.given;
    const auto typed = typed_of(c.bytes, how, c.kind);
    ASSERT_EQ(typed.result, kaldo::outcome::converted) << typed.error;
    EXPECT_EQ(typed.modem_id, c.expected);
    // Without the placeholder: nothing where the output says "No ModemID".
    const std::optional<std::string> known =
        c.expected == "No ModemID" ? std::nullopt : std::optional<std::string>(c.expected);
    EXPECT_EQ(typed.known_modem_id, known);
    kaldo::message msg;
    msg.bytes = c.bytes;
    msg.kind = c.kind;
    for (int format = kaldo::first_format; format <= kaldo::last_format; ++format) {
      SCOPED_TRACE(format);
      how.format = format;
      const kaldo::conversion converted = kaldo::convert_message(msg, how);
      ASSERT_TRUE(converted.converted());
      EXPECT_EQ(converted.known_modem_id, known);
      if (format == 7) {
        EXPECT_EQ(lines_of(converted.text).at(0), "ModemID=" + c.expected);
      }
    }
  }
}

TEST(TypedDecoding, CenturySettingGoesBeforeTheTwoDigitYear) {
  const struct {
    const char* name;
    std::string century;
    int year, month, day;
    int full_year;  // 0: the date is not real in that year
  } cases[] = {
      {"20 and 08 make 2008", "20", 8, 5, 17, 2008},
      {"19 and 99 make 1999", "19", 99, 5, 17, 1999},
      {"21 and 00 make 2100", "21", 0, 5, 17, 2100},
      {"29 February 2000 is real", "20", 0, 2, 29, 2000},
      {"29 February 2100 is not", "21", 0, 2, 29, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    packed_fields f;
    f.year = c.year;
    f.month = c.month;
    f.day = c.day;
    kaldo::settings how;
    how.century = c.century;
    const auto typed = typed_of(make_message(3, {packed_report(f)}), how);
    const kaldo::report& r = typed.reports.at(0);
    if (c.full_year == 0) {
      EXPECT_FALSE(r.position);
      EXPECT_EQ(r.problem, "day 29 is beyond the 28 days of month 2 of 2100");
      continue;
    }
    ASSERT_TRUE(r.position) << r.problem;
    EXPECT_EQ(r.position->time,
              utc(c.full_year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day), 12,
                  30, 5, 250));
  }
}

TEST(TypedDecoding, EmptyMessageOfEitherEncodingIsTooShort) {
  for (const auto kind : {kaldo::encoding::sbd_payload, kaldo::encoding::sms_text}) {
    kaldo::message empty;  // no bytes at all, not even a buffer
    empty.kind = kind;
    const kaldo::decoded_message typed = kaldo::decode_message(empty, {});
    EXPECT_EQ(typed.result, kaldo::outcome::failed);
    EXPECT_EQ(typed.error, "Less than Minimum Length\r\n");
    EXPECT_EQ(kaldo::convert_message(empty, {}).text, typed.error);
  }
}
