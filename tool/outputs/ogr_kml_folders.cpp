// KML: a folder (GDAL layer) per unit, holding its line, then its points.
#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_layout_writer.h"
#include "tool/outputs/ogr_session.h"

namespace kaldo::tool {
namespace {

bool write_folder(OGRLayer& layer, const fleet& fleet, const unit_track& unit,
                  std::string* error) {
  // One schema per folder: the line's fields, then those of the points
  // that the line does not have.
  auto line_indices = track_field_indices(layer, kml_line_fields(), true, true, error);
  if (line_indices.empty()) return false;
  auto point_indices = point_field_indices(layer, kml_point_fields(), true, true, error);
  if (point_indices.empty()) return false;
  track_writer line(layer, kml_line_fields(), std::move(line_indices), true);
  if (unit.points.size() >= 2 && !line.write(fleet, unit, OGRNullFID, error)) return false;
  point_writer points(layer, kml_point_fields(), std::move(point_indices), true);
  for (const std::size_t i : unit.points) {
    if (!points.write(fleet.points[i], 0, error)) return false;
  }
  return true;
}

}  // namespace

bool write_kml_folders(ogr_session& session, const fleet& fleet, std::string* error) {
  return session.write_new(
      session.path(),
      [&](GDALDataset& dataset) {
        OGRSpatialReference srs = wgs84();
        for (const unit_track& unit : fleet.units) {
          OGRLayer* layer = dataset.CreateLayer(unit.modem_id.c_str(), &srs, wkbUnknown, nullptr);
          if (layer == nullptr) {
            *error = gdal_error("cannot create the folder of " + unit.modem_id);
            return false;
          }
          if (!write_folder(*layer, fleet, unit, error)) return false;
        }
        return true;
      },
      error);
}

}  // namespace kaldo::tool
