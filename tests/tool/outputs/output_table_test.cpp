// The output table: which kind of output writes a destination, and a kind
// added from here alone, run end to end as kaldo tracks runs it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tool/outputs/fleet_output.h"
#include "tool/tracks_command.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

// What the recording output was given by the last run that opened one.
struct recording {
  std::string destination;
  output_options options;
  bool read_stored = false;
  std::vector<fleet> written;
};
recording last_run;

const track_point stored_point = [] {
  track_point p;
  p.modem_id = "300034012345679";
  p.position = testing::position_at("2008-05-16T08:00:00.000Z", 10.0, 20.0);
  return p;
}();

// Keeps every fleet it is given and hands out one point as an earlier
// run's.
class recording_output final : public fleet_output {
 public:
  bool appends() const override { return true; }
  bool read_stored(std::vector<track_point>* points, std::string*) override {
    last_run.read_stored = true;
    points->push_back(stored_point);
    return true;
  }
  bool write(const fleet& fleet, std::string*) override {
    last_run.written.push_back(fleet);
    return true;
  }
};

// Registered once, whichever test asks first.
void add_recording_kind() {
  static const bool added = [] {
    std::string error;
    const bool ok = register_output(
        {.name = "recording",
         .claims = [](const std::string& destination,
                      const output_options&) { return destination.ends_with(".recorded"); },
         .open = [](const std::string& destination, const output_options& options,
                    std::string*) -> std::unique_ptr<fleet_output> {
           last_run = {destination, options, false, {}};
           return std::make_unique<recording_output>();
         }},
        &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }();
  ASSERT_TRUE(added);
}

TEST(OutputTable, PicksTheKindByTheDestinationAndTheDriver) {
  add_recording_kind();
  const struct {
    const char* destination;
    const char* driver;
    const char* kind;
  } cases[] = {
      {"out/fleet.html", "", "map page"},
      {"FLEET.HTML", "", "map page"},
      {"out/fleet.html", "GeoJSON", "GDAL layers"},  // --driver asks for GDAL's
      {"fleet.html.gpkg", "", "GDAL layers"},
      {"html", "", "GDAL layers"},
      {"PG:dbname=gis", "", "GDAL layers"},
      {"fleet.unknown", "", "GDAL layers"},  // it says which endings it knows
      {"out/fleet.recorded", "", "recording"},
      {"out/fleet.recorded", "GPKG", "recording"},  // a kind decides what it claims
  };
  for (const auto& c : cases) {
    output_options options;
    options.driver = c.driver;
    EXPECT_EQ(output_kind_for(c.destination, options).name, c.kind)
        << c.destination << " --driver '" << c.driver << "'";
  }
}

TEST(OutputTable, RefusesAKindItCouldNotChooseOrOpen) {
  add_recording_kind();
  const auto claims = [](const std::string&, const output_options&) { return false; };
  const auto open = [](const std::string&, const output_options&,
                       std::string*) -> std::unique_ptr<fleet_output> { return nullptr; };
  const struct {
    const char* why;
    output_kind kind;
  } cases[] = {
      {"no name", {.name = "", .claims = claims, .open = open}},
      {"nothing it claims: only GDAL's takes the rest", {.name = "x", .claims = {}, .open = open}},
      {"no way to open", {.name = "x", .claims = claims, .open = {}}},
      {"a built-in kind's name", {.name = "map page", .claims = claims, .open = open}},
      {"a registered kind's name", {.name = "recording", .claims = claims, .open = open}},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(register_output(c.kind, &error)) << c.why;
    EXPECT_NE(error.find("cannot add the output"), std::string::npos) << c.why << ": " << error;
  }
  // None of them displaced the kinds there.
  EXPECT_EQ(output_kind_for("a.html", {}).name, "map page");
  EXPECT_EQ(output_kind_for("a.recorded", {}).name, "recording");
}

// Adding a kind of output touches the table and the new writer only: the
// run hands it the options, its stored points and the fleet.
TEST(OutputTable, AKindAddedAtRunTimeGetsTheRunsFleet) {
  add_recording_kind();
  temp_dir dir;
  std::filesystem::create_directory(dir.path() + "/in");
  binary_fields first, second;
  second.minute = 40;
  second.lat_minutes = 50;
  dir.write("in/300034012345670_1.sbd",
            make_message(1, {binary_report(first), binary_report(second)}));
  dir.write("in/300034012345671_1.sbd", make_message(1, {binary_report(first)}));

  tracks_options options;
  options.run.quiet = true;
  options.run.jobs = 2;
  options.destination = dir.path() + "/fleet.recorded";
  options.output.tiles_url = "https://tiles.example/{z}/{x}/{y}.png";
  options.run.inputs = {dir.path() + "/in"};
  ASSERT_EQ(run_tracks(options), 0);

  EXPECT_EQ(last_run.destination, options.destination);
  EXPECT_EQ(last_run.options.tiles_url, options.output.tiles_url);
  EXPECT_TRUE(last_run.read_stored);
  ASSERT_EQ(last_run.written.size(), 1u);
  const fleet& f = last_run.written[0];
  ASSERT_EQ(f.points.size(), 4u);
  ASSERT_EQ(f.units.size(), 3u);
  const struct {
    const char* modem_id;
    std::size_t points;
    bool changed;
  } units[] = {
      {"300034012345670", 2, true},
      {"300034012345671", 1, true},
      {"300034012345679", 1, false},  // the stored point's unit
  };
  for (std::size_t u = 0; u < 3; ++u) {
    SCOPED_TRACE(units[u].modem_id);
    EXPECT_EQ(f.units[u].modem_id, units[u].modem_id);
    EXPECT_EQ(f.units[u].points.size(), units[u].points);
    EXPECT_EQ(f.units[u].changed, units[u].changed);
  }
  const track_point& stored = f.points[f.units[2].points[0]];
  EXPECT_TRUE(stored.stored);
  EXPECT_EQ(stored.position.time, stored_point.position.time);
}

}  // namespace
}  // namespace kaldo::tool
