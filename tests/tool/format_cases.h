// Every format a fleet is written in, and where its layers are read back.
#pragma once

namespace kaldo::tool::testing {

struct format_case {
  const char* name;
  const char* file;            // written in a fresh directory
  const char* positions_file;  // where the points are read back
  const char* positions_layer; // "" for every layer
  const char* tracks_file;
  const char* tracks_layer;
  double tolerance;            // degrees: 0 where GDAL keeps every bit
  bool single_point_rows = true;  // KML: a unit of one point has no line placemark
  // The vertices of a one-point unit's line: GPX's trk holds its one trkpt,
  // FlatGeobuf (which drops rows without geometry) a line of no length.
  int single_point_vertices = 0;
};

// KML and CSV coordinates are written with 15 significant digits by GDAL,
// GPX with 15 decimals: within a nanodegree, not every bit.
inline const format_case format_cases[] = {
    {"GeoPackage", "fleet.gpkg", "fleet.gpkg", "positions", "fleet.gpkg", "tracks", 0},
    {"GeoJSON", "fleet.geojson", "fleet.geojson", "positions", "fleet_tracks.geojson", "tracks", 0},
    {"GeoJSON_as_json", "fleet.json", "fleet.json", "positions", "fleet_tracks.json", "tracks", 0},
    {"FlatGeobuf", "fleet.fgb", "fleet.fgb", "positions", "fleet_tracks.fgb", "tracks", 0, true, 2},
    {"Shapefile", "fleet.shp", "fleet.shp", "", "fleet_tracks.shp", "", 0},
    {"CSV", "fleet.csv", "fleet.csv", "", "fleet_tracks.csv", "", 1e-9},
    {"GPX", "fleet.gpx", "fleet.gpx", "track_points", "fleet.gpx", "tracks", 1e-9, true, 1},
    {"KML", "fleet.kml", "fleet.kml", "", "fleet.kml", "", 1e-9, false},
};

}  // namespace kaldo::tool::testing
