// Every format written through GDAL and read back with GDAL, point by
// point: each layout's writer, and the drivers --driver names.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <filesystem>

#include "tool/fleet_builder.h"
#include "tool/outputs/fleet_output.h"
#include "tool/outputs/ogr_fleet_output.h"
#include "tool/outputs/ogr_outputs.h"
#include "tests/tool/format_cases.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

namespace fs = std::filesystem;
using namespace testing;

bool write_sample(const std::string& destination, std::string* error) {
  auto output = open_fleet_output(destination, {}, error);
  return output != nullptr && output->write(sample_fleet(), error);
}

class EveryFormat : public ::testing::TestWithParam<format_case> {};

TEST_P(EveryFormat, ReadsBackEveryPointAndOneLinePerUnit) {
  const format_case& c = GetParam();
  temp_dir dir;
  std::string error;
  ASSERT_TRUE(write_sample(dir.path() + "/" + c.file, &error)) << error;

  const fleet written = sample_fleet();
  expect_same_points(expected_points(written),
                     read_points(dir.path() + "/" + c.positions_file, c.positions_layer),
                     c.tolerance);

  const auto tracks =
      read_tracks(dir.path() + "/" + c.tracks_file, c.tracks_layer, !c.single_point_rows);
  std::vector<unit_track> units;
  for (const unit_track& unit : written.units) {
    if (c.single_point_rows || unit.points.size() >= 2) units.push_back(unit);
  }
  ASSERT_EQ(tracks.size(), units.size());
  for (std::size_t u = 0; u < tracks.size(); ++u) {
    const unit_track& unit = units[u];
    SCOPED_TRACE(unit.modem_id);
    EXPECT_EQ(tracks[u].modem_id, unit.modem_id);
    // A single point makes no line; the unit still has its row.
    const std::size_t vertices = unit.points.size() >= 2
                                     ? unit.points.size()
                                     : static_cast<std::size_t>(c.single_point_vertices);
    ASSERT_EQ(tracks[u].line.size(), vertices);
    for (std::size_t i = 0; i < vertices; ++i) {
      const kaldo::position& p =
          written.points[unit.points[std::min(i, unit.points.size() - 1)]].position;
      EXPECT_NEAR(tracks[u].line[i].first, p.longitude, c.tolerance);
      EXPECT_NEAR(tracks[u].line[i].second, p.latitude, c.tolerance);
    }
    if (tracks[u].points) {
      EXPECT_EQ(*tracks[u].points, static_cast<long long>(unit.points.size()));
    }
    if (tracks[u].first_time) {
      EXPECT_EQ(*tracks[u].first_time, written.points[unit.points.front()].position.time);
      EXPECT_EQ(*tracks[u].last_time, written.points[unit.points.back()].position.time);
    }
  }
  // Only the destination's own files are left, none of the staging.
  for (const auto& name : files_in(dir.path())) EXPECT_NE(name[0], '.') << name;
}

INSTANTIATE_TEST_SUITE_P(, EveryFormat, ::testing::ValuesIn(format_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OgrLayouts, ShapefileKeepsTheNamesGdalShortenedAndTimeAsText) {
  temp_dir dir;
  std::string error;
  ASSERT_TRUE(write_sample(dir.path() + "/fleet.shp", &error)) << error;
  GDALAllRegister();
  std::unique_ptr<GDALDataset> dataset(GDALDataset::Open((dir.path() + "/fleet.shp").c_str(),
                                                         GDAL_OF_VECTOR));
  ASSERT_NE(dataset, nullptr);
  const OGRFeatureDefn& d = *dataset->GetLayer(0)->GetLayerDefn();
  EXPECT_GE(d.GetFieldIndex("vertical_v"), 0);
  EXPECT_GE(d.GetFieldIndex("message_ty"), 0);
  ASSERT_GE(d.GetFieldIndex("time"), 0);
  EXPECT_EQ(d.GetFieldDefn(d.GetFieldIndex("time"))->GetType(), OFTString);
  EXPECT_TRUE(fs::exists(dir.path() + "/fleet.cpg")) << "text is declared UTF-8";
}

TEST(OgrLayouts, WritesUtf8IdsThatGdalReadsBackUnchanged) {
  temp_dir dir;
  std::string error;
  ASSERT_TRUE(write_sample(dir.path() + "/fleet.gpkg", &error)) << error;
  bool found = false;
  for (const auto& p : read_points(dir.path() + "/fleet.gpkg", "positions")) {
    if (p.modem_id == "30003401234567\xC3\xA9") {
      found = true;
      EXPECT_EQ(p.source, "/in/caf\xEF\xBF\xBD.sbd");
    }
  }
  EXPECT_TRUE(found);
}

TEST(OgrLayouts, AnEmptyFleetMakesEmptyLayers) {
  temp_dir dir;
  std::string error;
  ASSERT_TRUE(run_into(dir.path() + "/none.gpkg", {}, &error)) << error;
  EXPECT_TRUE(read_points(dir.path() + "/none.gpkg", "positions").empty());
  EXPECT_TRUE(read_tracks(dir.path() + "/none.gpkg", "tracks").empty());
}

// A message tail may carry any bytes as the modem id; the XML formats must
// stay well-formed and give them back.
TEST(OgrLayouts, IdsWithMarkupCharactersSurviveGpxAndKml) {
  const std::string raw_id = "<unit id=\"1\" & 'a'>\xE9";
  const std::string utf8_id = "<unit id=\"1\" & 'a'>\xC3\xA9";
  fleet_builder builder;
  builder.add(message_of(raw_id, {position_at("2008-05-17T12:00:00.000Z", 1, 2),
                                           position_at("2008-05-17T13:00:00.000Z", 3, 4)}),
              {"a&b.sbd", ""});
  const fleet written = builder.finish();
  for (const char* name : {"fleet.gpx", "fleet.kml"}) {
    SCOPED_TRACE(name);
    temp_dir dir;
    std::string error;
    auto output = open_fleet_output(dir.path() + "/" + name, {}, &error);
    ASSERT_NE(output, nullptr) << error;
    ASSERT_TRUE(output->write(written, &error)) << error;
    const auto points =
        read_points(dir.path() + "/" + name, std::string(name) == "fleet.gpx" ? "track_points" : "");
    ASSERT_EQ(points.size(), 2u);
    for (const auto& p : points) EXPECT_EQ(p.modem_id, utf8_id);
  }
}

// KML: every point with its <TimeStamp>; a fleet of more points than
// LIBKML is given (it holds the whole file in memory) goes to the plain KML
// driver, and the run is told, unless the user named LIBKML.
TEST(OgrLayouts, KmlStampsEveryPointUnlessTheFleetIsTooLargeForLibkml) {
  const fleet written = sample_fleet();
  std::string error;
  const auto libkml = ogr_output_for("f.kml", "", &error);
  ASSERT_TRUE(libkml) << error;
  const std::size_t n = written.points.size();
  const struct {
    const char* why;
    std::size_t most_points;
    const char* driver;
    bool stamped;
  } cases[] = {
      {"as many points as LIBKML is given", n, "", true},
      {"one more", n - 1, "", false},
      {"one more, LIBKML named", n - 1, "LIBKML", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    temp_dir dir;
    ogr_output row = *libkml;
    row.most_points = c.most_points;
    output_options options;
    options.driver = c.driver;
    auto output = open_ogr_fleet_output(dir.path() + "/f.kml", row, options, &error);
    ASSERT_NE(output, nullptr) << error;
    ASSERT_TRUE(output->write(written, &error)) << error;
    const std::string text = read_file(dir.path() + "/f.kml");
    std::size_t stamps = 0;
    for (auto at = text.find("<TimeStamp>"); at != std::string::npos; at = text.find("<TimeStamp>", at + 1)) ++stamps;
    EXPECT_EQ(stamps, c.stamped ? n : 0);
    EXPECT_EQ(read_points(dir.path() + "/f.kml", "").size(), n);
    if (c.stamped) {
      EXPECT_EQ(output->note(), "");
    } else {
      EXPECT_NE(output->note().find(std::to_string(n) + " points, more than the " + std::to_string(n - 1)),
                std::string::npos)
          << output->note();
    }
  }
}

// --driver: any GDAL vector driver, laid out by what it can hold.
TEST(OgrLayouts, ADriverNamedByOptionWritesWhatTheTableDoesNotKnow) {
  const struct {
    const char* driver;
    const char* file;
    const char* tracks_file;
  } cases[] = {
      {"SQLite", "fleet.sqlite", "fleet.sqlite"},  // several layers in one file
      {"MapInfo File", "fleet.tab", "fleet_tracks.tab"},  // one layer a file
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver);
    temp_dir dir;
    std::string error;
    output_options options;
    options.driver = c.driver;
    auto output = open_fleet_output(dir.path() + "/" + c.file, options, &error);
    ASSERT_NE(output, nullptr) << error;
    const fleet written = sample_fleet();
    ASSERT_TRUE(output->write(written, &error)) << error;
    const auto points = read_points(dir.path() + "/" + c.file, std::string(c.file) == c.tracks_file
                                                                   ? "positions"
                                                                   : "");
    EXPECT_EQ(points.size(), written.points.size());
    EXPECT_EQ(read_tracks(dir.path() + "/" + c.tracks_file,
                          std::string(c.file) == c.tracks_file ? "tracks" : "")
                  .size(),
              written.units.size());
  }
}

}  // namespace
}  // namespace kaldo::tool
