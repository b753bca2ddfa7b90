// GPX and KML as another program reads them: GPSBabel must find every
// unit's points, in time order, at their places and times.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

#include "tool/outputs/fleet_output.h"
#include "tool/utc_text.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

bool have_gpsbabel() { return std::system("command -v gpsbabel >/dev/null 2>&1") == 0; }

using row = std::map<std::string, std::string>;

// GPSBabel's unicsv output, one map of column to cell per line.
std::vector<row> through_gpsbabel(const temp_dir& dir, const std::string& format,
                                  const std::string& file, bool tracks) {
  const std::string command = "cd '" + dir.path() + "' && gpsbabel " + (tracks ? "-t " : "") +
                              "-i " + format + " -f " + file +
                              " -o unicsv -F out.csv 2> err.txt";
  EXPECT_EQ(std::system(command.c_str()), 0) << read_file(dir.path() + "/err.txt");
  std::vector<row> rows;
  std::istringstream csv(read_file(dir.path() + "/out.csv"));
  std::string line;
  std::vector<std::string> header;
  auto split = [](const std::string& text) {
    std::vector<std::string> cells;
    std::string cell;
    bool quoted = false;
    for (const char c : text) {
      if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        cells.push_back(cell);
        cell.clear();
      } else if (c != '\r') {
        cell += c;
      }
    }
    cells.push_back(cell);
    return cells;
  };
  if (std::getline(csv, line)) header = split(line);
  while (std::getline(csv, line)) {
    const auto cells = split(line);
    row r;
    for (std::size_t i = 0; i < cells.size() && i < header.size(); ++i) r[header[i]] = cells[i];
    rows.push_back(std::move(r));
  }
  return rows;
}

// The sample's points unit by unit, each unit in time order: the order a
// GPX or KML file lists them in.
std::vector<const track_point*> in_file_order(const fleet& fleet) {
  std::vector<const track_point*> points;
  for (const unit_track& unit : fleet.units) {
    for (const std::size_t i : unit.points) points.push_back(&fleet.points[i]);
  }
  return points;
}

// GPSBabel prints 2008/05/17 and 12:30:05.250, or 12:30:05 for a whole
// second: read back as the ISO text of the instant.
std::string iso_of_gpsbabel(std::string date, const std::string& time) {
  for (char& c : date) {
    if (c == '/') c = '-';
  }
  std::string clock = time;
  if (clock.size() == 8) clock += ".000";
  return date + "T" + clock + "Z";
}

struct babel_case {
  const char* name;
  const char* file;
  const char* format;
  bool tracks;  // read trk (GPX) rather than waypoints (KML placemarks)
};

class GpsBabelReads : public ::testing::TestWithParam<babel_case> {};

TEST_P(GpsBabelReads, EveryPointOfEveryUnit) {
  KALDO_REQUIRE_PART(have_gpsbabel(), "gpsbabel is not installed");
  const babel_case& c = GetParam();
  // Hand-made points (every fix state, a Latin-1 id) and the typed
  // decoding of generated messages.
  for (const fleet& written : {testing::sample_fleet(), testing::decoded_fleet()}) {
  temp_dir dir;
  std::string error;
  auto sink = open_fleet_output(dir.path() + "/" + c.file, {}, &error);
  ASSERT_NE(sink, nullptr) << error;
  ASSERT_TRUE(sink->write(written, &error)) << error;

  const auto rows = through_gpsbabel(dir, c.format, c.file, c.tracks);
  const auto expected = in_file_order(written);
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const kaldo::position& p = expected[i]->position;
    SCOPED_TRACE(expected[i]->modem_id + " at " + utc_iso8601(p.time));
    // unicsv prints six decimals of a degree (rounded from the binary
    // value, so half a unit and a hair) and one of a metre.
    EXPECT_NEAR(std::stod(rows[i].at("Latitude")), p.latitude, 5.1e-7);
    EXPECT_NEAR(std::stod(rows[i].at("Longitude")), p.longitude, 5.1e-7);
    if (c.tracks) {
      EXPECT_EQ(iso_of_gpsbabel(rows[i].at("Date"), rows[i].at("Time")), utc_iso8601(p.time));
      EXPECT_NEAR(std::stod(rows[i].at("Altitude")), p.altitude_m, 0.051);
    } else {
      EXPECT_EQ(rows[i].at("Name"), utc_iso8601(p.time));
    }
  }
  }
}

INSTANTIATE_TEST_SUITE_P(, GpsBabelReads,
                         ::testing::Values(babel_case{"gpx_tracks", "fleet.gpx", "gpx", true},
                                           babel_case{"kml_placemarks", "fleet.kml", "kml",
                                                      false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GpsBabelReadsKml, OneLinePerUnitOfSeveralPoints) {
  KALDO_REQUIRE_PART(have_gpsbabel(), "gpsbabel is not installed");
  temp_dir dir;
  std::string error;
  auto sink = open_fleet_output(dir.path() + "/fleet.kml", {}, &error);
  ASSERT_NE(sink, nullptr) << error;
  const fleet written = testing::sample_fleet();
  ASSERT_TRUE(sink->write(written, &error)) << error;
  // The lines' vertices: every point of the units that have a line.
  std::vector<const track_point*> expected;
  for (const unit_track& unit : written.units) {
    if (unit.points.size() < 2) continue;
    for (const std::size_t i : unit.points) expected.push_back(&written.points[i]);
  }
  const auto rows = through_gpsbabel(dir, "kml", "fleet.kml", true);
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_NEAR(std::stod(rows[i].at("Latitude")), expected[i]->position.latitude, 5.1e-7);
    EXPECT_NEAR(std::stod(rows[i].at("Longitude")), expected[i]->position.longitude, 5.1e-7);
  }
}

}  // namespace
}  // namespace kaldo::tool
