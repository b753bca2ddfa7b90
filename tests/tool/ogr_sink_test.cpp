// Every format written through GDAL and read back with GDAL, point by
// point; appending to a GeoPackage; destinations that cannot be written.
#include "tool/outputs/ogr_sink.h"

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tool/fleet_builder.h"
#include "tool/outputs/fleet_sink.h"
#include "tool/utc_text.h"
#include "tests/tool/format_cases.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

namespace fs = std::filesystem;
using namespace testing;

bool write_sample(const std::string& destination, std::string* error) {
  auto sink = open_fleet_sink(destination, {}, error);
  return sink != nullptr && sink->write(sample_fleet(), error);
}

std::vector<std::string> files_in(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class every_format : public ::testing::TestWithParam<format_case> {};

TEST_P(every_format, reads_back_every_point_and_one_line_per_unit) {
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
    const std::size_t vertices =
        unit.points.size() >= 2 || c.single_point_line ? unit.points.size() : 0;
    ASSERT_EQ(tracks[u].line.size(), vertices);
    for (std::size_t i = 0; i < vertices; ++i) {
      const kaldo::position& p = written.points[unit.points[i]].position;
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

INSTANTIATE_TEST_SUITE_P(, every_format, ::testing::ValuesIn(format_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ogr_sink, shapefile_keeps_the_names_gdal_shortened_and_time_as_text) {
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

TEST(ogr_sink, writes_utf8_ids_that_gdal_reads_back_unchanged) {
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

TEST(ogr_sink, an_empty_fleet_makes_empty_layers) {
  temp_dir dir;
  std::string error;
  ASSERT_TRUE(run_into(dir.path() + "/none.gpkg", {}, &error)) << error;
  EXPECT_TRUE(read_points(dir.path() + "/none.gpkg", "positions").empty());
  EXPECT_TRUE(read_tracks(dir.path() + "/none.gpkg", "tracks").empty());
}

const auto noon = position_at("2008-05-17T12:00:00.000Z", 33.5, -117.5);
const auto one_pm = position_at("2008-05-17T13:00:00.000Z", 33.7, -117.4);
const auto two_pm = position_at("2008-05-17T14:00:00.000Z", 33.9, -117.3);

TEST(ogr_sink, appending_keeps_what_is_there_and_adds_only_new_points) {
  temp_dir dir;
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  std::string error;
  bool appended = true;
  ASSERT_TRUE(run_into(gpkg, {message_of("1", {noon, one_pm}), message_of("2", {noon})}, &error,
                       nullptr, &appended))
      << error;
  EXPECT_FALSE(appended);
  const auto points_before = read_points(gpkg, "positions");
  const auto tracks_before = read_tracks(gpkg, "tracks");

  fleet_counts counts;
  ASSERT_TRUE(run_into(gpkg, {message_of("1", {one_pm, two_pm})}, &error, &counts, &appended))
      << error;
  EXPECT_TRUE(appended);
  EXPECT_EQ(counts.stored, 3u);
  EXPECT_EQ(counts.added, 1u);
  EXPECT_EQ(counts.duplicates, 1u);

  const auto points_after = read_points(gpkg, "positions");
  ASSERT_EQ(points_after.size(), 4u);
  for (std::size_t i = 0; i < points_before.size(); ++i) {
    EXPECT_EQ(points_after[i].fid, points_before[i].fid);
    EXPECT_EQ(points_after[i].time, points_before[i].time);
  }
  const auto tracks_after = read_tracks(gpkg, "tracks");
  ASSERT_EQ(tracks_after.size(), 2u);
  EXPECT_EQ(tracks_after[0].fid, tracks_before[0].fid);
  EXPECT_EQ(tracks_after[0].points, 3);
  ASSERT_EQ(tracks_after[0].line.size(), 3u);
  EXPECT_EQ(tracks_after[0].line[2].second, two_pm.latitude);
  EXPECT_EQ(tracks_after[0].last_time, two_pm.time);
  EXPECT_EQ(tracks_after[1].fid, tracks_before[1].fid);
  EXPECT_EQ(tracks_after[1].line.size(), 0u);
}

TEST(ogr_sink, running_twice_on_the_same_inputs_changes_nothing) {
  temp_dir dir;
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  const std::vector<kaldo::decoded_message> inputs = {message_of("1", {noon, one_pm, two_pm}),
                                                      message_of("2", {noon})};
  std::string error;
  ASSERT_TRUE(run_into(gpkg, inputs, &error)) << error;
  const auto points = read_points(gpkg, "positions");
  const auto tracks = read_tracks(gpkg, "tracks");
  fleet_counts counts;
  ASSERT_TRUE(run_into(gpkg, inputs, &error, &counts)) << error;
  EXPECT_EQ(counts.added, 0u);
  EXPECT_EQ(counts.duplicates, 4u);
  const auto points_again = read_points(gpkg, "positions");
  const auto tracks_again = read_tracks(gpkg, "tracks");
  ASSERT_EQ(points_again.size(), points.size());
  for (std::size_t i = 0; i < points.size(); ++i) EXPECT_EQ(points_again[i].fid, points[i].fid);
  ASSERT_EQ(tracks_again.size(), tracks.size());
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    EXPECT_EQ(tracks_again[i].fid, tracks[i].fid);
    EXPECT_EQ(tracks_again[i].line, tracks[i].line);
  }
}

TEST(ogr_sink, a_format_that_cannot_be_appended_to_is_written_anew) {
  temp_dir dir;
  const std::string json = dir.path() + "/fleet.geojson";
  std::string error;
  ASSERT_TRUE(run_into(json, {message_of("1", {noon, one_pm})}, &error)) << error;
  bool appended = true;
  ASSERT_TRUE(run_into(json, {message_of("2", {two_pm})}, &error, nullptr, &appended)) << error;
  EXPECT_FALSE(appended);
  const auto points = read_points(json, "positions");
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].modem_id, "2");
}

struct unwritable_case {
  const char* name;
  std::string destination;  // "$" is the temporary directory
  const char* error_part;
  const char* driver = "";
};

class unwritable : public ::testing::TestWithParam<unwritable_case> {};

TEST_P(unwritable, fails_with_a_clear_error_and_leaves_nothing_behind) {
  const unwritable_case& c = GetParam();
  temp_dir dir;
  dir.write("not_a_geopackage.gpkg", "some text, not SQLite");
  fs::create_directory(dir.path() + "/a_directory.geojson");
  std::string destination = c.destination;
  if (const auto at = destination.find('$'); at != std::string::npos) {
    destination.replace(at, 1, dir.path());
  }
  const auto before = files_in(dir.path());
  std::string error;
  sink_options options;
  options.driver = c.driver;
  auto sink = open_fleet_sink(destination, options, &error);
  if (sink != nullptr) {
    std::vector<track_point> stored;
    if (sink->read_stored(&stored, &error)) {
      EXPECT_FALSE(sink->write(sample_fleet(), &error));
    }
    sink.reset();
  }
  EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
  EXPECT_EQ(error.find("secret"), std::string::npos) << "a password shown: " << error;
  EXPECT_EQ(files_in(dir.path()), before);
  EXPECT_EQ(read_file(dir.path() + "/not_a_geopackage.gpkg"), "some text, not SQLite");
}

INSTANTIATE_TEST_SUITE_P(
    , unwritable,
    ::testing::Values(
        unwritable_case{"missing_directory", "$/no/such/dir/fleet.gpkg", "cannot write in"},
        unwritable_case{"missing_directory_for_one_layer_files", "$/no/fleet.shp",
                        "cannot write in"},
        unwritable_case{"file_that_is_no_geopackage", "$/not_a_geopackage.gpkg",
                        "cannot open"},
        unwritable_case{"directory_in_the_way", "$/a_directory.geojson", "cannot move"},
        unwritable_case{"unknown_extension", "$/fleet.txt", "cannot tell the format"},
        unwritable_case{"file_in_the_place_of_a_directory", "$/not_a_geopackage.gpkg/x.gpkg",
                        "cannot write in"},
        unwritable_case{"unknown_driver", "$/fleet.gpkg", "GDAL has no vector driver",
                        "NoSuchDriver"},
        unwritable_case{"raster_only_driver", "$/fleet.tif", "GDAL has no vector driver",
                        "GTiff"},
        unwritable_case{"database_that_cannot_be_reached",
                        "PG:host=$/no_server port=1 dbname=x password=secret", "cannot open"}),
    [](const auto& info) { return std::string(info.param.name); });

// Root writes anywhere: the check then runs in a child that has become
// an ordinary user (nobody), whom the permissions bind.
TEST(ogr_sink, a_read_only_directory_is_refused_before_any_input_is_read) {
  temp_dir dir;
  const std::string locked = dir.path() + "/locked";
  fs::create_directory(locked);
  chmod(dir.path().c_str(), 0755);
  chmod(locked.c_str(), 0555);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    std::string error;
    const bool refused = open_fleet_sink(locked + "/fleet.gpkg", {}, &error) == nullptr;
    _exit(!refused ? 11 : error.find("cannot write in") == std::string::npos ? 12 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot become nobody, 11: not refused, "
                                       "12: refused without saying it cannot write";
  EXPECT_TRUE(files_in(locked).empty());
  chmod(locked.c_str(), 0755);
}

}  // namespace
}  // namespace kaldo::tool

namespace kaldo::tool {
namespace {

TEST(fleet_sink, a_destination_ending_in_html_is_the_map_page) {
  temp_dir dir;
  std::string error;
  sink_options options;
  options.map_page.tiles_url = "https://tiles.example/{z}/{x}/{y}.png";
  auto sink = open_fleet_sink(dir.path() + "/fleet.HTML", options, &error);
  ASSERT_NE(sink, nullptr) << error;
  EXPECT_FALSE(sink->appends());
  ASSERT_TRUE(sink->write(testing::sample_fleet(), &error)) << error;
  const std::string page = read_file(dir.path() + "/fleet.HTML");
  EXPECT_NE(page.find("id=\"kaldo-tracks\""), std::string::npos);
  EXPECT_NE(page.find("tiles.example"), std::string::npos);
  EXPECT_NE(page.find("300034012345670"), std::string::npos);
}

TEST(fleet_sink, a_map_page_in_a_missing_folder_is_refused_at_once) {
  std::string error;
  EXPECT_TRUE(open_fleet_sink("/no/such/folder/fleet.html", {}, &error) == nullptr);
  EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace kaldo::tool

namespace kaldo::tool {
namespace {

// A message tail may carry any bytes as the modem id; the XML formats must
// stay well-formed and give them back.
TEST(ogr_sink, ids_with_markup_characters_survive_gpx_and_kml) {
  const std::string raw_id = "<unit id=\"1\" & 'a'>\xE9";
  const std::string utf8_id = "<unit id=\"1\" & 'a'>\xC3\xA9";
  fleet_builder builder;
  builder.add(testing::message_of(raw_id, {testing::position_at("2008-05-17T12:00:00.000Z", 1, 2),
                                           testing::position_at("2008-05-17T13:00:00.000Z", 3, 4)}),
              {"a&b.sbd", ""});
  const fleet written = builder.finish();
  for (const char* name : {"fleet.gpx", "fleet.kml"}) {
    SCOPED_TRACE(name);
    temp_dir dir;
    std::string error;
    auto sink = open_fleet_sink(dir.path() + "/" + name, {}, &error);
    ASSERT_NE(sink, nullptr) << error;
    ASSERT_TRUE(sink->write(written, &error)) << error;
    const auto points =
        read_points(dir.path() + "/" + name, std::string(name) == "fleet.gpx" ? "track_points" : "");
    ASSERT_EQ(points.size(), 2u);
    for (const auto& p : points) EXPECT_EQ(p.modem_id, utf8_id);
  }
}

}  // namespace
}  // namespace kaldo::tool

namespace kaldo::tool {
namespace {

// --driver: any GDAL vector driver, laid out by what it can hold.
TEST(ogr_sink, a_driver_named_by_option_writes_what_the_table_does_not_know) {
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
    sink_options options;
    options.driver = c.driver;
    auto sink = open_fleet_sink(dir.path() + "/" + c.file, options, &error);
    ASSERT_NE(sink, nullptr) << error;
    const fleet written = testing::sample_fleet();
    ASSERT_TRUE(sink->write(written, &error)) << error;
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

namespace kaldo::tool {
namespace {

TEST(ogr_sink, a_deleted_track_row_comes_back_on_the_next_run) {
  temp_dir dir;
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  std::string error;
  ASSERT_TRUE(run_into(gpkg, {message_of("1", {noon, one_pm}), message_of("2", {noon})}, &error))
      << error;
  {
    std::unique_ptr<GDALDataset> dataset(
        GDALDataset::Open(gpkg.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE));
    ASSERT_NE(dataset, nullptr);
    dataset->ExecuteSQL("DELETE FROM tracks WHERE modem_id = '2'", nullptr, nullptr);
  }
  ASSERT_EQ(read_tracks(gpkg, "tracks").size(), 1u);
  ASSERT_TRUE(run_into(gpkg, {message_of("1", {two_pm})}, &error)) << error;
  const auto tracks = read_tracks(gpkg, "tracks");
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[1].modem_id, "2");
  EXPECT_EQ(tracks[1].points, 1);
}

}  // namespace
}  // namespace kaldo::tool
