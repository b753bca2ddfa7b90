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
          // A trk's points are real fixes, none made up at ±180°: a new
          // trkseg where the track crosses the antimeridian keeps readers
          // from joining its two sides the long way round.
          int segment = 0;
          const kaldo::position* previous = nullptr;
          for (const std::size_t i : unit.points) {
            const kaldo::position& p = fleet.points[i].position;
            if (previous != nullptr && crosses_antimeridian(previous->longitude, p.longitude)) {
              ++segment;
            }
            if (!points.write(fleet.points[i], track_number, segment, error)) return false;
            previous = &p;
          }
          ++track_number;
        }
        return true;
      },
      error);
}

}  // namespace kaldo::tool
