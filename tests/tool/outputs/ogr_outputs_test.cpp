// Which driver writes which destination.
#include "tool/outputs/ogr_outputs.h"

#include <gtest/gtest.h>

namespace kaldo::tool {
namespace {

struct output_case {
  const char* name;
  const char* destination;
  const char* driver_option;
  const char* driver;  // "" when refused
  layer_layout layout;
  bool appendable;
  bool time_as_text;
};

class Outputs : public ::testing::TestWithParam<output_case> {};

TEST_P(Outputs, PicksTheDriverFromTheEndingOrTheOption) {
  const output_case& c = GetParam();
  std::string error;
  const auto output = ogr_output_for(c.destination, c.driver_option, &error);
  if (*c.driver == '\0') {
    EXPECT_FALSE(output.has_value());
    EXPECT_FALSE(error.empty());
    return;
  }
  ASSERT_TRUE(output.has_value()) << error;
  EXPECT_EQ(output->driver, c.driver);
  EXPECT_EQ(output->layout, c.layout);
  EXPECT_EQ(output->appendable, c.appendable);
  EXPECT_EQ(output->time_as_text, c.time_as_text);
}

using L = layer_layout;
INSTANTIATE_TEST_SUITE_P(
    , Outputs,
    ::testing::Values(
        output_case{"geopackage", "out/fleet.gpkg", "", "GPKG", L::both_layers, true, false},
        output_case{"ending_in_capitals", "FLEET.GPKG", "", "GPKG", L::both_layers, true, false},
        output_case{"no_ending_is_a_geopackage", "fleet", "", "GPKG", L::both_layers, true, false},
        output_case{"postgis", "PG:dbname=gis host=/tmp", "", "PostgreSQL", L::both_layers, true,
                    false},
        output_case{"postgis_in_lower_case", "pg:dbname=gis", "", "PostgreSQL", L::both_layers,
                    true, false},
        output_case{"gpx", "a.gpx", "", "GPX", L::gpx_tracks, false, false},
        output_case{"kml", "a.kml", "", "LIBKML", L::kml_folders, false, false},
        output_case{"kml_without_time_stamps_when_asked", "a.kml", "KML", "KML", L::kml_folders, false,
                    true},
        output_case{"geojson", "a.geojson", "", "GeoJSON", L::layer_per_file, false, false},
        output_case{"json", "a.json", "", "GeoJSON", L::layer_per_file, false, false},
        output_case{"csv", "a.csv", "", "CSV", L::layer_per_file, false, false},
        output_case{"flatgeobuf", "a.fgb", "", "FlatGeobuf", L::layer_per_file, false, false},
        output_case{"shapefile", "a.shp", "", "ESRI Shapefile", L::layer_per_file, false, true},
        output_case{"unknown_ending", "a.txt", "", "", L::both_layers, false, false},
        output_case{"driver_of_the_table_by_name", "a.txt", "gpkg", "GPKG", L::both_layers, true,
                    false},
        output_case{"other_multi_layer_driver", "a.sqlite", "SQLite", "SQLite", L::both_layers,
                    false, false},
        output_case{"other_single_layer_driver", "a.gmt", "OGR_GMT", "OGR_GMT",
                    L::layer_per_file, false, false},
        output_case{"no_such_driver", "a.gpkg", "Nonesuch", "", L::both_layers, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TracksFileBeside, PutsTracksNextToThePositionsFile) {
  EXPECT_EQ(tracks_file_beside("out/fleet.geojson"), "out/fleet_tracks.geojson");
  EXPECT_EQ(tracks_file_beside("fleet.shp"), "fleet_tracks.shp");
  EXPECT_EQ(tracks_file_beside("/a.b/fleet.v2.csv"), "/a.b/fleet.v2_tracks.csv");
}

}  // namespace
}  // namespace kaldo::tool
