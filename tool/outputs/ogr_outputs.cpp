#include "tool/outputs/ogr_outputs.h"

#include <gdal_priv.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace kaldo::tool {
namespace {

struct output_row {
  std::string_view ending;  // lower case; "pg:" is a prefix
  ogr_output output;
};

constexpr const char* positions_description =
    "DESCRIPTION=Every distinct position report, one point each, with its unit's modem id and "
    "UTC time (kaldo tracks)";
constexpr const char* tracks_description =
    "DESCRIPTION=One row per unit: its line through its positions in time order, split where "
    "it crosses the antimeridian (kaldo tracks)";

const std::vector<output_row>& output_table() {
  static const std::vector<output_row> table = {
      // The spatial index is GDAL's default for a GeoPackage; named here so
      // that the benchmark's ogr2ogr run can be given the same options.
      // The descriptions go into gpkg_contents, and PostgreSQL's table
      // comments: what a GIS shows beside a layer's name.
      {".gpkg", {.driver = "GPKG", .layout = layer_layout::both_layers, .appendable = true,
                 .positions_options = {"FID=fid", "GEOMETRY_NAME=geom", "SPATIAL_INDEX=YES",
                                       positions_description},
                 .tracks_options = {"FID=fid", "GEOMETRY_NAME=geom", "SPATIAL_INDEX=YES",
                                    tracks_description}}},
      {"pg:", {.driver = "PostgreSQL", .layout = layer_layout::both_layers, .appendable = true,
               .is_file = false,
               .positions_options = {"FID=fid", "GEOMETRY_NAME=geom", positions_description},
               .tracks_options = {"FID=fid", "GEOMETRY_NAME=geom", tracks_description}}},
      // GPX_USE_EXTENSIONS carries every field GPX has no element for.
      {".gpx", {.driver = "GPX", .layout = layer_layout::gpx_tracks,
                .dataset_options = {"GPX_USE_EXTENSIONS=YES"}}},
      // LIBKML writes each point's time as a <TimeStamp>, each line's as a
      // <TimeSpan>, and one shared style per unit. Its fields go out as
      // <Data> rather than typed <SimpleData>: GDAL 3.6 rewrites the whole
      // file once for each <SimpleData> it writes, minutes for ten thousand
      // points. It holds the whole file in memory (about 9 KB a point):
      // a larger fleet goes to the plain KML driver (the row after, also
      // with --driver KML), which streams and keeps typed fields but has
      // no time stamps.
      {".kml", {.driver = "LIBKML", .layout = layer_layout::kml_folders,
                .config_options = {"LIBKML_USE_SIMPLEFIELD=NO"},
                .most_points = kml_time_stamped_points, .larger_driver = "KML"}},
      {".kml", {.driver = "KML", .layout = layer_layout::kml_folders, .time_as_text = true}},
      // GDAL's GeoJSON writes 15 decimals by default: a latitude of a few
      // millionths of a degree would lose digits; 17 significant ones keep
      // every bit.
      {".geojson", {.driver = "GeoJSON", .layout = layer_layout::layer_per_file,
                    .positions_options = {"SIGNIFICANT_FIGURES=17"},
                    .tracks_options = {"SIGNIFICANT_FIGURES=17"}}},
      {".json", {.driver = "GeoJSON", .layout = layer_layout::layer_per_file,
                 .positions_options = {"SIGNIFICANT_FIGURES=17"},
                 .tracks_options = {"SIGNIFICANT_FIGURES=17"}}},
      // CSV: points as X and Y columns that anything reads, lines as WKT.
      // The .csvt beside each file types every column (X and Y as
      // coordinates, so GDAL opens points), and the .prj gives the CRS.
      // GDAL 3.6 quotes numbers too unless quoting is only where needed;
      // the .csvt keeps a modem id text.
      {".csv", {.driver = "CSV", .layout = layer_layout::layer_per_file,
                .positions_options = {"GEOMETRY=AS_XY", "CREATE_CSVT=YES",
                                      "STRING_QUOTING=IF_NEEDED"},
                .tracks_options = {"GEOMETRY=AS_WKT", "CREATE_CSVT=YES",
                                   "STRING_QUOTING=IF_NEEDED"}}},
      {".fgb", {.driver = "FlatGeobuf", .layout = layer_layout::layer_per_file,
                .single_point_track_as_point = true,
                .positions_options = {"SPATIAL_INDEX=YES"},
                .tracks_options = {"SPATIAL_INDEX=YES"}}},
      // DBF stores dates without times; and without ENCODING, GDAL would
      // recode text to Latin-1 and lose the rest.
      {".shp", {.driver = "ESRI Shapefile", .layout = layer_layout::layer_per_file,
                .time_as_text = true,
                .positions_options = {"ENCODING=UTF-8"},
                .tracks_options = {"ENCODING=UTF-8"}}},
  };
  return table;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string known_endings() {
  std::string list;
  for (const auto& row : output_table()) {
    const std::string ending = row.ending == "pg:" ? std::string("PG:...") : std::string(row.ending);
    // An ending two drivers write is named once.
    if (list.find(ending + ",") != std::string::npos || list.ends_with(ending)) continue;
    if (!list.empty()) list += ", ";
    list += ending;
  }
  return list;
}

}  // namespace

std::optional<ogr_output> ogr_output_for(std::string_view destination, std::string_view driver,
                                         std::string* error) {
  if (!driver.empty()) {
    for (const auto& row : output_table()) {
      if (lower(row.output.driver) == lower(driver)) return row.output;
    }
    GDALAllRegister();
    GDALDriver* found = GetGDALDriverManager()->GetDriverByName(std::string(driver).c_str());
    if (found == nullptr || found->GetMetadataItem(GDAL_DCAP_VECTOR) == nullptr ||
        found->GetMetadataItem(GDAL_DCAP_CREATE) == nullptr) {
      *error = "GDAL has no vector driver \"" + std::string(driver) + "\" that can create files";
      return std::nullopt;
    }
    ogr_output output;
    output.driver = found->GetDescription();
    output.layout = found->GetMetadataItem(GDAL_DCAP_MULTIPLE_VECTOR_LAYERS) != nullptr
                        ? layer_layout::both_layers
                        : layer_layout::layer_per_file;
    return output;
  }
  const std::string name = lower(destination);
  const std::string extension =
      name.starts_with("pg:") ? std::string("pg:")
                              : lower(std::filesystem::path(name).extension().string());
  // Without an extension the destination is a GeoPackage: one file that
  // QGIS opens.
  if (extension.empty()) return output_table()[0].output;
  for (const auto& row : output_table()) {
    if (row.ending == extension) return row.output;
  }
  *error = "cannot tell the format of \"" + std::string(destination) + "\": end it in " +
           known_endings() + ", or name a GDAL driver with --driver";
  return std::nullopt;
}

std::string tracks_file_beside(std::string_view path) {
  const std::filesystem::path file{std::string(path)};
  std::filesystem::path beside = file;
  beside.replace_filename(file.stem().string() + "_tracks" + file.extension().string());
  return beside.string();
}

}  // namespace kaldo::tool
