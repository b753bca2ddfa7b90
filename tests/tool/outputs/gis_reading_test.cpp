// Every format as a GIS user opens it: a plain GDAL open (no open options),
// no warnings, points with a coordinate system, typed fields, the modem id
// as text, a time on every point, and no track segment longer than half
// the globe.
#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <cmath>
#include <filesystem>

#include "tool/fleet_builder.h"
#include "tool/outputs/fleet_output.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

using namespace testing;

const std::string crossing_id = "300034012345670", other_id = "300034012345671";

// One unit crossing the antimeridian twice, one with an emergency.
fleet gis_fleet() {
  fleet_builder builder;
  builder.add(message_of(crossing_id,
                         {position_at("2008-05-17T12:00:00.250Z", 10, 179.5),
                          position_at("2008-05-17T13:00:00.000Z", 11, -179.5),
                          position_at("2008-05-17T14:00:00.000Z", 12, 179.0)}),
              {"a.sbd", ""});
  builder.add(message_of(other_id,
                         {position_at("2008-05-17T12:00:00.000Z", 50, 7, kaldo::fix_state::fix_3d),
                          position_at("2008-05-17T12:30:00.000Z", 51, 8, kaldo::fix_state::none,
                                      true)}),
              {"b.sbd", ""});
  return builder.finish();
}

// GDAL's messages while a file is opened and read, kept to be counted.
std::vector<std::string>& messages() {
  static std::vector<std::string> list;
  return list;
}
void keep_message(CPLErr level, CPLErrorNum, const char* text) {
  if (level >= CE_Warning) messages().push_back(text);
}

struct gis_case {
  const char* name;
  const char* file;
  const char* positions_file;
  const char* positions_layer;  // "" for every layer
  const char* tracks_file;
  const char* tracks_layer;
  const char* id_field;
  const char* satellites_field;
  OGRFieldType time_type;
  bool multi_declared;  // the tracks layer says MultiLineString
  // KML's <Data> values are text; every other format types its numbers.
  OGRFieldType satellites_type = OFTInteger;
};

const gis_case gis_cases[] = {
    {"GeoPackage", "f.gpkg", "f.gpkg", "positions", "f.gpkg", "tracks", "modem_id", "satellites",
     OFTDateTime, true},
    {"GeoJSON", "f.geojson", "f.geojson", "", "f_tracks.geojson", "", "modem_id", "satellites",
     OFTDateTime, true},
    {"FlatGeobuf", "f.fgb", "f.fgb", "", "f_tracks.fgb", "", "modem_id", "satellites",
     OFTDateTime, true},
    // A WKT column has no declared geometry type.
    {"CSV", "f.csv", "f.csv", "", "f_tracks.csv", "", "modem_id", "satellites", OFTDateTime,
     false},
    // DBF has dates without times.
    {"Shapefile", "f.shp", "f.shp", "", "f_tracks.shp", "", "modem_id", "satellites", OFTString,
     false},
    {"GPX", "f.gpx", "f.gpx", "track_points", "f.gpx", "tracks", "src", "sat", OFTDateTime, true},
    {"KML", "f.kml", "f.kml", "", "f.kml", "", "modem_id", "satellites", OFTDateTime, false, OFTString},
};

class OpenedAsAGisUserDoes : public ::testing::TestWithParam<gis_case> {};

TEST_P(OpenedAsAGisUserDoes, PointsTypedAndTracksWithoutLongSegments) {
  const gis_case& c = GetParam();
  temp_dir dir;
  std::string error;
  const fleet written = gis_fleet();
  {
    auto output = open_fleet_output(dir.path() + "/" + c.file, {}, &error);
    ASSERT_NE(output, nullptr) << error;
    ASSERT_TRUE(output->write(written, &error)) << error;
  }
  GDALAllRegister();
  messages().clear();
  CPLPushErrorHandler(keep_message);
  std::unique_ptr<GDALDataset> positions(
      GDALDataset::Open((dir.path() + "/" + c.positions_file).c_str(), GDAL_OF_VECTOR));
  ASSERT_NE(positions, nullptr);
  std::size_t points = 0, emergencies = 0;
  for (int i = 0; i < positions->GetLayerCount(); ++i) {
    OGRLayer& layer = *positions->GetLayer(i);
    if (*c.positions_layer != '\0' && layer.GetName() != std::string(c.positions_layer)) continue;
    SCOPED_TRACE(layer.GetName());
    ASSERT_NE(layer.GetSpatialRef(), nullptr) << "no coordinate system";
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    const char* equivalent[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES",
                                "CRITERION=EQUIVALENT", nullptr};
    EXPECT_TRUE(layer.GetSpatialRef()->IsSame(&wgs84, equivalent));
    const OGRFeatureDefn& d = *layer.GetLayerDefn();
    const int id = d.GetFieldIndex(c.id_field), sat = d.GetFieldIndex(c.satellites_field);
    const int time = d.GetFieldIndex(std::string(c.file) == "f.kml" ? "timestamp" : "time");
    ASSERT_GE(id, 0);
    ASSERT_GE(sat, 0);
    ASSERT_GE(time, 0);
    EXPECT_EQ(d.GetFieldDefn(id)->GetType(), OFTString);
    EXPECT_EQ(d.GetFieldDefn(sat)->GetType(), c.satellites_type);
    EXPECT_EQ(d.GetFieldDefn(time)->GetType(), c.time_type);
    for (auto& feature : layer) {
      const OGRGeometry* g = feature->GetGeometryRef();
      if (g == nullptr || wkbFlatten(g->getGeometryType()) != wkbPoint) continue;
      ++points;
      const std::string modem_id = feature->GetFieldAsString(id);
      EXPECT_TRUE(modem_id == crossing_id || modem_id == other_id) << modem_id;
      EXPECT_TRUE(feature->IsFieldSetAndNotNull(time)) << "a point without a time";
      const int emergency = std::max(d.GetFieldIndex("emergency"), d.GetFieldIndex("ogr_emergency"));
      if (emergency >= 0 && feature->GetFieldAsInteger(emergency) == 1) ++emergencies;
    }
  }
  EXPECT_EQ(points, written.points.size());
  EXPECT_EQ(emergencies, 1u);

  std::unique_ptr<GDALDataset> tracks(
      GDALDataset::Open((dir.path() + "/" + c.tracks_file).c_str(), GDAL_OF_VECTOR));
  ASSERT_NE(tracks, nullptr);
  std::size_t parts_of_crossing = 0;
  for (int i = 0; i < tracks->GetLayerCount(); ++i) {
    OGRLayer& layer = *tracks->GetLayer(i);
    if (*c.tracks_layer != '\0' && layer.GetName() != std::string(c.tracks_layer)) continue;
    if (c.multi_declared) {
      EXPECT_EQ(wkbFlatten(layer.GetGeomType()), wkbMultiLineString);
    }
    for (auto& feature : layer) {
      const OGRGeometry* g = feature->GetGeometryRef();
      if (g == nullptr || wkbFlatten(g->getGeometryType()) == wkbPoint) continue;
      std::vector<const OGRLineString*> lines;
      if (wkbFlatten(g->getGeometryType()) == wkbLineString) {
        // A shapefile's and KML's lines of one part read back as LineStrings.
        EXPECT_FALSE(c.multi_declared);
        lines.push_back(g->toLineString());
      } else {
        ASSERT_EQ(wkbFlatten(g->getGeometryType()), wkbMultiLineString);
        for (const OGRLineString* line : *g->toMultiLineString()) lines.push_back(line);
      }
      if (lines.size() > 1) parts_of_crossing = lines.size();
      for (const OGRLineString* line : lines) {
        for (int k = 1; k < line->getNumPoints(); ++k) {
          EXPECT_LE(std::abs(line->getX(k) - line->getX(k - 1)), 180.0)
              << "a segment the long way round";
        }
      }
    }
  }
  EXPECT_EQ(parts_of_crossing, 3u) << "the crossing unit's line in three parts";
  CPLPopErrorHandler();
  EXPECT_TRUE(messages().empty()) << messages().front();
}

INSTANTIATE_TEST_SUITE_P(, OpenedAsAGisUserDoes, ::testing::ValuesIn(gis_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// GPX's own elements: <sat>, and <fix> where GPX has the state.
TEST(GpxElements, SatellitesAndFixInGpxsOwnElements) {
  temp_dir dir;
  std::string error;
  auto output = open_fleet_output(dir.path() + "/f.gpx", {}, &error);
  ASSERT_NE(output, nullptr) << error;
  ASSERT_TRUE(output->write(gis_fleet(), &error)) << error;
  const std::string gpx = read_file(dir.path() + "/f.gpx");
  EXPECT_NE(gpx.find("<src>" + crossing_id + "</src>"), std::string::npos);
  EXPECT_NE(gpx.find("<fix>3d</fix>"), std::string::npos);
  EXPECT_NE(gpx.find("<fix>none</fix>"), std::string::npos);
  EXPECT_NE(gpx.find("<sat>"), std::string::npos);
  EXPECT_EQ(gpx.find("modem_id>"), std::string::npos) << "the id only where GPX keeps text";
  // The crossing unit's trk: a new trkseg at each crossing.
  std::size_t segments = 0;
  for (auto at = gpx.find("<trkseg>"); at != std::string::npos; at = gpx.find("<trkseg>", at + 1)) {
    ++segments;
  }
  EXPECT_EQ(segments, 4u);
}

TEST(CsvFiles, TypesAndCoordinateSystemBesideEachFile) {
  temp_dir dir;
  std::string error;
  auto output = open_fleet_output(dir.path() + "/f.csv", {}, &error);
  ASSERT_NE(output, nullptr) << error;
  ASSERT_TRUE(output->write(gis_fleet(), &error)) << error;
  for (const char* stem : {"f", "f_tracks"}) {
    for (const char* ending : {".csvt", ".prj"}) {
      EXPECT_TRUE(std::filesystem::exists(dir.path() + "/" + stem + ending)) << stem << ending;
    }
  }
  const std::string csv = read_file(dir.path() + "/f.csv");
  EXPECT_EQ(csv.find('"'), std::string::npos) << "numbers (and text needing none) unquoted";
  EXPECT_EQ(read_file(dir.path() + "/f.csvt").substr(0, 14), "CoordX,CoordY,");
}

TEST(GeoPackageContents, EachLayerIsDescribed) {
  temp_dir dir;
  std::string error;
  auto output = open_fleet_output(dir.path() + "/f.gpkg", {}, &error);
  ASSERT_NE(output, nullptr) << error;
  ASSERT_TRUE(output->write(gis_fleet(), &error)) << error;
  std::unique_ptr<GDALDataset> dataset(
      GDALDataset::Open((dir.path() + "/f.gpkg").c_str(), GDAL_OF_VECTOR));
  ASSERT_NE(dataset, nullptr);
  OGRLayer* rows = dataset->ExecuteSQL(
      "SELECT table_name, description FROM gpkg_contents ORDER BY table_name", nullptr, nullptr);
  ASSERT_NE(rows, nullptr);
  std::vector<std::string> described;
  for (auto& row : *rows) {
    if (std::string(row->GetFieldAsString(1)).find("kaldo tracks") != std::string::npos) {
      described.push_back(row->GetFieldAsString(0));
    }
  }
  dataset->ReleaseResultSet(rows);
  EXPECT_EQ(described, (std::vector<std::string>{"positions", "tracks"}));
}

}  // namespace
}  // namespace kaldo::tool
