// GPX: GDAL's track_points layer, each unit's points a trk of their own.
#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_layout_writer.h"
#include "tool/outputs/ogr_session.h"

namespace kaldo::tool {

bool write_gpx_tracks(ogr_session& session, const fleet& fleet, std::string* error) {
  return session.write_new(
      session.path(),
      [&](GDALDataset& dataset) {
        OGRSpatialReference srs = wgs84();
        OGRLayer* layer = dataset.CreateLayer("track_points", &srs, wkbPoint, nullptr);
        if (layer == nullptr) {
          *error = gdal_error("cannot create the track points layer");
          return false;
        }
        auto indices = point_field_indices(*layer, gpx_track_point_fields(), true, false, error);
        if (indices.empty()) return false;
        point_writer points(*layer, gpx_track_point_fields(), std::move(indices), false);
        int track_number = 0;
        for (const unit_track& unit : fleet.units) {
          for (const std::size_t i : unit.points) {
            if (!points.write(fleet.points[i], track_number, error)) return false;
          }
          ++track_number;
        }
        return true;
      },
      error);
}

}  // namespace kaldo::tool
