// Formats of one layer a file (GeoJSON, CSV, FlatGeobuf, Shapefile, or a
// driver named by --driver that holds one): positions in the destination,
// tracks in <stem>_tracks.<ext> beside it.
#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_layout_writer.h"
#include "tool/outputs/ogr_session.h"

namespace kaldo::tool {
namespace {

using layer_filler = bool (*)(const ogr_output& output, OGRLayer& layer, const fleet& fleet,
                              std::string* error);

bool write_positions(const ogr_output& output, OGRLayer& layer, const fleet& fleet,
                     std::string* error) {
  auto indices = point_field_indices(layer, positions_fields(), true, output.time_as_text, error);
  if (indices.empty()) return false;
  point_writer points(layer, positions_fields(), std::move(indices), output.time_as_text);
  for (const track_point& point : fleet.points) {
    if (!points.write(point, 0, error)) return false;
  }
  return true;
}

bool write_tracks(const ogr_output& output, OGRLayer& layer, const fleet& fleet,
                  std::string* error) {
  auto indices = track_field_indices(layer, tracks_fields(), true, output.time_as_text, error);
  if (indices.empty()) return false;
  track_writer lines(layer, tracks_fields(), std::move(indices), output.time_as_text,
                     output.single_point_track_as_point);
  for (const unit_track& unit : fleet.units) {
    if (!lines.write(fleet, unit, OGRNullFID, error)) return false;
  }
  return true;
}

}  // namespace

bool write_layer_per_file(ogr_session& session, const fleet& fleet, std::string* error) {
  const ogr_output& output = session.output();
  OGRSpatialReference srs = wgs84();
  const struct {
    std::string path;
    const char* name;
    OGRwkbGeometryType type;
    const std::vector<std::string>& options;
    layer_filler write;
  } files[] = {
      {session.path(), positions_layer, wkbPoint, output.positions_options, write_positions},
      {tracks_file_beside(session.path()), tracks_layer,
       wkbMultiLineString, output.tracks_options,
       write_tracks},
  };
  for (const auto& file : files) {
    const bool written = session.write_new(
        file.path,
        [&](GDALDataset& dataset) {
          options_list options(file.options);
          OGRLayer* layer = dataset.CreateLayer(file.name, &srs, file.type, options.get());
          if (layer == nullptr) {
            *error = gdal_error("cannot create the layer " + std::string(file.name));
            return false;
          }
          return file.write(output, *layer, fleet, error);
        },
        error);
    if (!written) return false;
  }
  return true;
}

}  // namespace kaldo::tool
