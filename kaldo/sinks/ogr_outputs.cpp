#include "kaldo/sinks/ogr_outputs.h"

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

const std::vector<output_row>& output_table() {
  static const std::vector<output_row> table = {
      // The spatial index is GDAL's default for a GeoPackage; named here so
      // that the benchmark's ogr2ogr run can be given the same options.
      {".gpkg", {"GPKG", layer_layout::both_layers, true, false, true, {},
                 {"FID=fid", "GEOMETRY_NAME=geom", "SPATIAL_INDEX=YES"},
                 {"FID=fid", "GEOMETRY_NAME=geom", "SPATIAL_INDEX=YES"}}},
      {"pg:", {"PostgreSQL", layer_layout::both_layers, true, false, false, {},
               {"FID=fid", "GEOMETRY_NAME=geom"},
               {"FID=fid", "GEOMETRY_NAME=geom"}}},
      // GPX_USE_EXTENSIONS carries every field GPX has no element for.
      {".gpx", {"GPX", layer_layout::gpx_tracks, false, false, true,
                {"GPX_USE_EXTENSIONS=YES"}, {}, {}}},
      {".kml", {"KML", layer_layout::kml_folders, false, true, true, {}, {}, {}}},
      {".geojson", {"GeoJSON", layer_layout::layer_per_file, false, false, true, {}, {}, {}}},
      {".json", {"GeoJSON", layer_layout::layer_per_file, false, false, true, {}, {}, {}}},
      // CSV is text throughout; points as X and Y columns read back by
      // anything, lines as WKT.
      {".csv", {"CSV", layer_layout::layer_per_file, false, true, true, {},
                {"GEOMETRY=AS_XY"}, {"GEOMETRY=AS_WKT"}}},
      {".fgb", {"FlatGeobuf", layer_layout::layer_per_file, false, false, true, {},
                {"SPATIAL_INDEX=YES"}, {"SPATIAL_INDEX=YES"}}},
      // DBF stores dates without times; and without ENCODING, GDAL would
      // recode text to Latin-1 and lose the rest.
      {".shp", {"ESRI Shapefile", layer_layout::layer_per_file, false, true, true, {},
                {"ENCODING=UTF-8"}, {"ENCODING=UTF-8"}}},
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
    if (!list.empty()) list += ", ";
    list += row.ending == "pg:" ? std::string("PG:...") : std::string(row.ending);
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
