// positions and tracks in one dataset (GeoPackage, PostGIS, or a driver
// named by --driver that holds several layers). Written anew or added to:
// the rows an earlier run wrote are kept, and a unit's line is rebuilt
// when the run brought it points.
#include <chrono>
#include <map>

#include "kaldo/version.h"
#include "tool/outputs/ogr_layer_styles.h"
#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_layout_writer.h"
#include "tool/outputs/ogr_session.h"
#include "tool/utc_text.h"

namespace kaldo::tool {
namespace {

// Runs before this one stored a unit's line as one LineString, drawn the
// long way round where it crossed the antimeridian. Every line is made
// again from the positions, so the old layer goes (in the run's
// transaction: a failure keeps it) and comes back as MultiLineStrings.
bool drop_line_string_tracks(GDALDataset& dataset, std::string* error) {
  for (int i = 0; i < dataset.GetLayerCount(); ++i) {
    if (std::string(dataset.GetLayer(i)->GetName()) != tracks_layer) continue;
    if (dataset.DeleteLayer(i) != OGRERR_NONE) {
      *error = gdal_error(
          "cannot replace the tracks layer of LineStrings by one of MultiLineStrings; drop "
          "the tracks table and run again, which makes it anew from the positions");
      return false;
    }
    return true;
  }
  return true;
}

// What wrote the GeoPackage, when, and from which inputs, in its metadata
// (GDAL keeps a dataset's metadata items in gpkg_metadata). Each run
// replaces the record of the one before.
void record_the_run(const ogr_session& session, GDALDataset& dataset) {
  std::string inputs;
  for (const std::string& input : session.inputs()) {
    if (!inputs.empty()) inputs += '\n';
    inputs += input;
  }
  dataset.SetMetadataItem("written_by", (std::string("kaldo tracks ") + kaldo::version()).c_str());
  dataset.SetMetadataItem("written_at", utc_iso8601(std::chrono::time_point_cast<std::chrono::milliseconds>(
                                                        std::chrono::system_clock::now()))
                                            .c_str());
  dataset.SetMetadataItem("inputs", inputs.c_str());
}

bool write_layers(const ogr_session& session, GDALDataset& dataset, bool adding,
                  const fleet& fleet, std::string* error) {
  const ogr_output& output = session.output();
  OGRSpatialReference srs = wgs84();
  OGRLayer* positions = adding ? dataset.GetLayerByName(positions_layer) : nullptr;
  OGRLayer* tracks = adding ? dataset.GetLayerByName(tracks_layer) : nullptr;
  if (tracks != nullptr && wkbFlatten(tracks->GetGeomType()) == wkbLineString) {
    tracks = nullptr;  // deleted with its layer
    if (!drop_line_string_tracks(dataset, error)) return false;
  }
  const bool new_positions = positions == nullptr;
  const bool new_tracks = tracks == nullptr;
  if (new_positions) {
    options_list options(output.positions_options);
    positions = dataset.CreateLayer(positions_layer, &srs, wkbPoint, options.get());
  }
  if (new_tracks) {
    options_list options(output.tracks_options);
    tracks = dataset.CreateLayer(tracks_layer, &srs, wkbMultiLineString, options.get());
  }
  if (positions == nullptr || tracks == nullptr) {
    *error = gdal_error("cannot create the layers");
    return false;
  }
  auto point_indices =
      point_field_indices(*positions, positions_fields(), new_positions, output.time_as_text, error);
  auto track_indices =
      track_field_indices(*tracks, tracks_fields(), new_tracks, output.time_as_text, error);
  if (point_indices.empty() || track_indices.empty()) return false;

  // The rows an earlier run wrote are updated in place, keeping their fids.
  std::map<std::string, GIntBig> track_rows;
  if (!new_tracks) {
    const int id = track_indices[0];
    tracks->ResetReading();
    for (auto& feature : *tracks) track_rows.emplace(feature->GetFieldAsString(id), feature->GetFID());
  }

  point_writer points(*positions, positions_fields(), std::move(point_indices),
                      output.time_as_text);
  for (const track_point& point : fleet.points) {
    if (!point.stored && !points.write(point, 0, error)) return false;
  }
  track_writer lines(*tracks, tracks_fields(), std::move(track_indices), output.time_as_text);
  for (const unit_track& unit : fleet.units) {
    // A unit's line is rebuilt when it got points; one without a row (its
    // tracks layer lost or deleted) gets its row back.
    const auto row = track_rows.find(unit.modem_id);
    if (!unit.changed && row != track_rows.end()) continue;
    if (!lines.write(fleet, unit, row == track_rows.end() ? OGRNullFID : row->second, error)) {
      return false;
    }
  }
  const bool geopackage = output.driver == "GPKG", postgres = output.driver == "PostgreSQL";
  if (geopackage) record_the_run(session, dataset);
  return !(geopackage || postgres) || write_layer_styles(dataset, postgres, fleet, error);
}

}  // namespace

bool write_both_layers(ogr_session& session, const fleet& fleet, std::string* error) {
  if (session.existing() != nullptr) {
    // One transaction for the whole run: big transactions are what make
    // GeoPackage and PostgreSQL fast, and a failure rolls all of it back.
    return session.add_to_existing(
        [&](GDALDataset& existing) { return write_layers(session, existing, true, fleet, error); },
        error);
  }
  return session.write_new(
      session.path(),
      [&](GDALDataset& dataset) {
        return session.in_transaction(
            dataset, false, [&] { return write_layers(session, dataset, false, fleet, error); },
            error);
      },
      error);
}

}  // namespace kaldo::tool
