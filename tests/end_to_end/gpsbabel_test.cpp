// The NMEA output (formats 5 and 10) fed to a real NMEA consumer, GPSBabel:
// every sentence must be accepted and give back the decoded position, date
// and time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "tests/test_support.h"

using namespace kaldo::detail;

namespace {

bool have_gpsbabel() { return std::system("command -v gpsbabel >/dev/null 2>&1") == 0; }

struct fix {
  double latitude, longitude, altitude;
  std::string date;  // YYYY/MM/DD
  double seconds;    // of the day
};

double seconds_of(const std::string& hhmmss) {
  return std::stoi(hhmmss.substr(0, 2)) * 3600 + std::stoi(hhmmss.substr(3, 2)) * 60 +
         std::stod(hhmmss.substr(6));
}

// Converts with the program, keeps the sentences, and reads them back.
std::vector<fix> through_gpsbabel(const temp_dir& dir, const std::string& message,
                                  int format, std::string& complaints) {
  dir.write("1_m.sbd", message);
  const auto run = run_program({"1_m.sbd", std::to_string(format)}, dir.path());
  std::istringstream lines(run.out);
  std::string line, sentences;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] == '$') sentences += line + "\n";
  }
  dir.write("out.nmea", sentences);
  const std::string command = "cd '" + dir.path() +
                              "' && gpsbabel -t -i nmea -f out.nmea -o unicsv -F - "
                              "> out.csv 2> err.txt";
  EXPECT_EQ(std::system(command.c_str()), 0);
  complaints = read_file(dir.path() + "/err.txt");
  std::vector<fix> fixes;
  std::istringstream csv(read_file(dir.path() + "/out.csv"));
  std::getline(csv, line);  // No,Latitude,Longitude,Altitude,...,Date,Time
  while (std::getline(csv, line)) {
    std::vector<std::string> cells;
    std::istringstream row(line);
    std::string cell;
    while (std::getline(row, cell, ',')) cells.push_back(cell);
    if (cells.size() < 10) continue;
    fixes.push_back({std::stod(cells[1]), std::stod(cells[2]), std::stod(cells[3]),
                     cells[8], seconds_of(cells[9])});
  }
  return fixes;
}

struct babel_row {
  const char* name;
  std::string message;
  int format;
  fix want;
};

}  // namespace

TEST(GpsBabel, AcceptsEverySentenceAndAgreesOnTheFix) {
  KALDO_REQUIRE_PART(have_gpsbabel(), "gpsbabel is not installed: tools/install-packages");
  binary_fields plain;  // 12:30:05.250, 17 May 2008, 33 45.1234 N, 117 50.1234 E
  binary_fields year_end = plain;
  year_end.hour = 23, year_end.minute = 59, year_end.second = 59;
  year_end.millisecond = 995, year_end.year = 99, year_end.month = 12, year_end.day = 31;
  year_end.flags = 0x80 | 0x40 | 0x20;  // south and west
  binary_fields leap_day = year_end;
  leap_day.year = 8, leap_day.month = 2, leap_day.day = 28;
  packed_fields packed;  // 12:30:05.25, 33 45.12345 N, 117 50.67891 E, 123.45 m
  packed_fields packed_midnight = packed;
  packed_midnight.hour = 23, packed_midnight.minute = 59, packed_midnight.second = 59;
  packed_midnight.hundredths = 99, packed_midnight.year = 8, packed_midnight.month = 12;
  packed_midnight.day = 31;

  const double lat_b = 33 + 45.1234 / 60, lon_b = 117 + 50.1234 / 60;
  const double lat_p = 33 + 45.12345 / 60, lon_p = 117 + 50.67891 / 60;
  const double lat_p4 = 33 + 45.1235 / 60, lon_p4 = 117 + 50.6789 / 60;
  const double end_of_day = 23 * 3600 + 59 * 60 + 59;
  const babel_row rows[] = {
      {"binary, format 5", make_message(1, {binary_report(plain)}), 5,
       {lat_b, lon_b, 123.4, "2008/05/17", 45005.25}},
      {"binary, format 10", make_message(1, {binary_report(plain)}), 10,
       {lat_b, lon_b, 123.4, "2008/05/17", 45005.25}},
      {"end of the century, format 5", make_message(1, {binary_report(year_end)}), 5,
       {-lat_b, -lon_b, 123.4, "2099/12/31", end_of_day + 0.995}},
      {"carried into the next century, format 10",
       make_message(1, {binary_report(year_end)}), 10,
       {-lat_b, -lon_b, 123.4, "2100/01/01", 0}},
      {"carried into a leap day, format 10", make_message(1, {binary_report(leap_day)}), 10,
       {-lat_b, -lon_b, 123.4, "2008/02/29", 0}},
      {"packed, format 5", make_message(3, {packed_report(packed)}), 5,
       {lat_p4, lon_p4, 123.45, "2008/05/17", 45005.25}},
      {"packed, format 10", make_message(3, {packed_report(packed)}), 10,
       {lat_p, lon_p, 123.45, "2008/05/17", 45005.25}},
      {"packed just before the new year, format 10",
       make_message(3, {packed_report(packed_midnight)}), 10,
       {lat_p, lon_p, 123.45, "2008/12/31", end_of_day + 0.99}},
  };
  temp_dir dir;
  for (const babel_row& r : rows) {
    std::string complaints;
    const auto fixes = through_gpsbabel(dir, r.message, r.format, complaints);
    EXPECT_EQ(complaints, "") << r.name;
    ASSERT_EQ(fixes.size(), 1u) << r.name;
    const fix& got = fixes[0];
    EXPECT_NEAR(got.latitude, r.want.latitude, 1.5e-6) << r.name;
    EXPECT_NEAR(got.longitude, r.want.longitude, 1.5e-6) << r.name;
    EXPECT_NEAR(got.altitude, r.want.altitude, 0.05) << r.name;
    EXPECT_EQ(got.date, r.want.date) << r.name;
    EXPECT_NEAR(got.seconds, r.want.seconds, 0.0005) << r.name;
  }
}

TEST(GpsBabel, SeveralReportsKeepTheirOrderAndDates) {
  KALDO_REQUIRE_PART(have_gpsbabel(), "gpsbabel is not installed: tools/install-packages");
  std::vector<std::string> reports;
  for (int minute : {10, 20, 30}) {
    binary_fields f;
    f.minute = minute;
    f.millisecond = 995;
    reports.push_back(binary_report(f));
  }
  temp_dir dir;
  for (int format : {5, 10}) {
    std::string complaints;
    const auto fixes = through_gpsbabel(dir, make_message(1, reports), format, complaints);
    EXPECT_EQ(complaints, "");
    ASSERT_EQ(fixes.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(fixes[i].date, "2008/05/17") << format;
      const double want = 12 * 3600 + (10 + 10 * i) * 60 + 5 + (format == 5 ? 0.995 : 1.0);
      EXPECT_NEAR(fixes[i].seconds, want, 0.0005) << format;
    }
  }
}
