// Adding to what an earlier run wrote (GeoPackage here; PostGIS in
// postgis_test.cpp), and formats that are written anew instead.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include "tool/fleet_builder.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

using namespace testing;

const auto noon = position_at("2008-05-17T12:00:00.000Z", 33.5, -117.5);
const auto one_pm = position_at("2008-05-17T13:00:00.000Z", 33.7, -117.4);
const auto two_pm = position_at("2008-05-17T14:00:00.000Z", 33.9, -117.3);

// A GeoPackage a first run wrote (unit 1 at noon and at one, unit 2 at
// noon), opened for a test to change by hand; null when either failed.
std::unique_ptr<GDALDataset> two_units_opened_for_update(const std::string& gpkg) {
  std::string error;
  if (!run_into(gpkg, {message_of("1", {noon, one_pm}), message_of("2", {noon})}, &error)) {
    ADD_FAILURE() << error;
    return nullptr;
  }
  return std::unique_ptr<GDALDataset>(GDALDataset::Open(gpkg.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE));
}

TEST(OgrAppending, AppendingKeepsWhatIsThereAndAddsOnlyNewPoints) {
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

TEST(OgrAppending, RunningTwiceOnTheSameInputsChangesNothing) {
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

TEST(OgrAppending, AFormatThatCannotBeAppendedToIsWrittenAnew) {
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

TEST(OgrAppending, ADeletedTrackRowComesBackOnTheNextRun) {
  temp_dir dir;
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  std::string error;
  {
    const auto dataset = two_units_opened_for_update(gpkg);
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


// A GeoPackage from before tracks were split at the antimeridian: its
// LineString tracks layer is made again, as MultiLineStrings, from every
// stored position.
TEST(OgrAppending, LineStringTracksOfAnEarlierVersionAreMadeAgain) {
  temp_dir dir;
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  std::string error;
  {
    const auto dataset = two_units_opened_for_update(gpkg);
    ASSERT_NE(dataset, nullptr);
    for (int i = 0; i < dataset->GetLayerCount(); ++i) {
      if (std::string(dataset->GetLayer(i)->GetName()) == "tracks") dataset->DeleteLayer(i);
    }
    OGRSpatialReference srs;
    srs.importFromEPSG(4326);
    OGRLayer* old = dataset->CreateLayer("tracks", &srs, wkbLineString, nullptr);
    ASSERT_NE(old, nullptr);
    OGRFieldDefn id("modem_id", OFTString);
    old->CreateField(&id);
    OGRFeature row(old->GetLayerDefn());
    row.SetField(0, "1");
    row.SetGeometryDirectly(new OGRLineString());
    ASSERT_EQ(old->CreateFeature(&row), OGRERR_NONE);
  }
  ASSERT_TRUE(run_into(gpkg, {message_of("2", {two_pm})}, &error)) << error;
  std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(gpkg.c_str(), GDAL_OF_VECTOR));
  ASSERT_NE(dataset, nullptr);
  EXPECT_EQ(wkbFlatten(dataset->GetLayerByName("tracks")->GetGeomType()), wkbMultiLineString);
  const auto tracks = read_tracks(gpkg, "tracks");
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].line.size(), 2u) << "unit 1 got no points this run; its line is back";
  EXPECT_EQ(tracks[1].line.size(), 2u);
  EXPECT_TRUE(tracks[0].multi);
  EXPECT_EQ(tracks[1].points, 2);
}


struct style_row {
  std::string layer, name, qml;
  int is_default;
  bool operator==(const style_row&) const = default;
};

std::vector<style_row> styles_of(const std::string& gpkg) {
  std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(gpkg.c_str(), GDAL_OF_VECTOR));
  std::vector<style_row> rows;
  if (dataset == nullptr) return rows;
  OGRLayer* table = dataset->ExecuteSQL(
      "SELECT f_table_name, styleName, styleQML, useAsDefault FROM layer_styles ORDER BY id",
      nullptr, nullptr);
  if (table == nullptr) return rows;
  for (auto& r : *table) {
    rows.push_back({r->GetFieldAsString(0), r->GetFieldAsString(1), r->GetFieldAsString(2),
                    r->GetFieldAsInteger(3)});
  }
  dataset->ReleaseResultSet(table);
  return rows;
}

// A second run that adds a unit rewrites our styles only, and leaves the
// default where the user set one of their own.
TEST(OgrAppending, StylesOfALaterRunKeepTheUsersOwn) {
  temp_dir dir;
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  std::string error;
  ASSERT_TRUE(run_into(gpkg, {message_of("1", {noon, one_pm})}, &error)) << error;
  auto first = styles_of(gpkg);
  ASSERT_EQ(first.size(), 2u);
  for (const auto& row : first) {
    EXPECT_EQ(row.name, "kaldo");
    EXPECT_EQ(row.is_default, 1) << row.layer;
  }
  {
    std::unique_ptr<GDALDataset> dataset(
        GDALDataset::Open(gpkg.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE));
    ASSERT_NE(dataset, nullptr);
    dataset->ExecuteSQL("UPDATE layer_styles SET useAsDefault = 0 WHERE f_table_name = 'positions'",
                        nullptr, nullptr);
    dataset->ExecuteSQL(
        "INSERT INTO layer_styles (f_table_catalog, f_table_schema, f_table_name, "
        "f_geometry_column, styleName, styleQML, useAsDefault) VALUES "
        "('', '', 'positions', 'geom', 'mine', '<qgis/>', 1), "
        "('', '', 'tracks', 'geom', 'spare', '<qgis/>', 0)",
        nullptr, nullptr);
  }
  ASSERT_TRUE(run_into(gpkg, {message_of("2", {two_pm})}, &error)) << error;
  const auto second = styles_of(gpkg);
  ASSERT_EQ(second.size(), 4u);
  const struct {
    std::size_t row;
    const char* layer;
    const char* name;
    int is_default;
    bool holds_the_new_unit;
  } expected[] = {
      {0, "positions", "kaldo", 0, true},  // the user's own is the default
      {1, "tracks", "kaldo", 1, true},     // theirs is not
      {2, "positions", "mine", 1, false},
      {3, "tracks", "spare", 0, false},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(std::string(e.layer) + " " + e.name);
    EXPECT_EQ(second[e.row].layer, e.layer);
    EXPECT_EQ(second[e.row].name, e.name);
    EXPECT_EQ(second[e.row].is_default, e.is_default);
    EXPECT_EQ(second[e.row].qml.find("value=\"2\"") != std::string::npos, e.holds_the_new_unit);
  }
}

}  // namespace
}  // namespace kaldo::tool
