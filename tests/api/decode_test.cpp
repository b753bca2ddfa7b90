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
  std::printf("converted %d failed %d positions %d problems %d sms %d packed %d binary %d\n", counts.converted, counts.failed, counts.positions, counts.problems, counts.sms, counts.packed, counts.binary);
  // The generator must reach every kind of case for the test to mean much.
  EXPECT_GT(counts.converted, 2000);
  EXPECT_GT(counts.failed, 1000);
  EXPECT_GT(counts.positions, 3000);
  EXPECT_GT(counts.problems, 500);
  EXPECT_GT(counts.sms, 300);
  EXPECT_GT(counts.packed, 1000);
  EXPECT_GT(counts.binary, 1000);
}
