// Which GDAL driver writes a destination, and how our two layers fit it.
//
// GDAL 3.6 does not choose a driver from a file name, so this one table
// does, by the destination's ending (or its "PG:" prefix). `--driver`
// names any other GDAL vector driver; a driver the table knows keeps its
// row's layout and options.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kaldo::tool {

// How the `positions` and `tracks` layers are laid out in a format.
enum class layer_layout {
  both_layers,     // one dataset holds both (GeoPackage, PostGIS)
  layer_per_file,  // DEST holds positions, <stem>_tracks.<ext> beside it tracks
  gpx_tracks,      // one trk per unit: GDAL's track_points layer, grouped
  kml_folders,     // one folder (layer) per unit: its line, then its points
};

// The most points written to a .kml with time stamps (GDAL's LIBKML, which
// holds the whole file in memory); more go through GDAL's plain KML driver.
inline constexpr std::size_t kml_time_stamped_points = 50'000;

struct ogr_output {
  std::string driver;  // GDAL's short name
  layer_layout layout = layer_layout::both_layers;
  // An existing destination is added to rather than written anew.
  bool appendable = false;
  // The format has no date-time field: times are ISO 8601 text.
  bool time_as_text = false;
  // Whether DEST names a file (or a set of files) rather than a connection.
  bool is_file = true;
  // The driver drops rows without geometry (FlatGeobuf in GDAL 3.6): a
  // unit with one point keeps its row with a line of no length at that
  // point as its geometry.
  bool single_point_track_as_point = false;
  std::vector<std::string> dataset_options = {};
  std::vector<std::string> positions_options = {};
  std::vector<std::string> tracks_options = {};
  // GDAL configuration options ("KEY=VALUE") the driver reads while a
  // destination is written, set for the writing thread alone.
  std::vector<std::string> config_options = {};
  // A fleet of more points than this (0: no limit) is written with the
  // driver `larger_driver` instead, unless the user named a driver.
  std::size_t most_points = 0;
  std::string larger_driver = {};
};

// The output for `destination`, or for `driver` when it is not empty.
// Empty with the reason in `*error` when neither tells a known vector
// driver that can create files.
std::optional<ogr_output> ogr_output_for(std::string_view destination, std::string_view driver,
                                         std::string* error);

// "<stem>_tracks.<ext>" beside `path`, where a one-layer format keeps
// the tracks.
std::string tracks_file_beside(std::string_view path);

}  // namespace kaldo::tool
