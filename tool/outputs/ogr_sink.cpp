#include "tool/outputs/ogr_sink.h"

#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>

#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/staging_dir.h"
#include "tool/utc_text.h"

namespace kaldo::tool {
namespace {

using namespace std::chrono;

constexpr const char* positions_layer = "positions";
constexpr const char* tracks_layer = "tracks";

// GDAL reports through its own handler on stderr by default; here every
// failure becomes our own text, with GDAL's last message in it.
class quiet_gdal {
 public:
  quiet_gdal() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
  }
  ~quiet_gdal() { CPLPopErrorHandler(); }
};

struct options_list {
  explicit options_list(const std::vector<std::string>& options) {
    for (const auto& option : options) list.AddString(option.c_str());
  }
  CPLStringList list;
  char** get() { return list.List(); }
};

OGRSpatialReference wgs84() {
  OGRSpatialReference srs;
  srs.importFromEPSG(4326);
  // Longitude first, as every one of our formats stores it.
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  return srs;
}

std::optional<kaldo::utc_time> time_field(const OGRFeature& feature, int index) {
  if (!feature.IsFieldSetAndNotNull(index)) return std::nullopt;
  if (feature.GetFieldDefnRef(index)->GetType() == OFTString) {
    return parse_iso8601(feature.GetFieldAsString(index));
  }
  int year, month, day, hour, minute, zone;
  float second;
  if (!const_cast<OGRFeature&>(feature).GetFieldAsDateTime(index, &year, &month, &day, &hour,
                                                           &minute, &second, &zone)) {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                            std::chrono::day{unsigned(day)}};
  if (!date.ok()) return std::nullopt;
  // Seconds come back as a float: the nearest millisecond is the one written.
  return sys_days{date} + hours{hour} + minutes{minute} +
         milliseconds{std::lround(static_cast<double>(second) * 1000.0)};
}

// The destination as messages show it: a connection string's password
// stays out of the terminal and the logs.
std::string without_password(const std::string& destination) {
  static const std::regex password(R"((password\s*=\s*)('[^']*'|\S+))", std::regex::icase);
  return std::regex_replace(destination, password, "$1...");
}

class ogr_sink final : public fleet_sink {
 public:
  ogr_sink(std::string destination, ogr_output output)
      : path_(std::move(destination)),
        destination_(without_password(path_)),
        output_(std::move(output)) {}

  bool open(std::string* error);
  bool appends() const override { return appending_; }
  bool read_stored(std::vector<track_point>* points, std::string* error) override;
  bool write(const fleet& fleet, std::string* error) override;

 private:
  GDALDriver* driver(std::string* error) const;
  GDALDataset* create(const std::string& path, std::string* error);
  bool write_both_layers(GDALDataset& dataset, bool adding, const fleet& fleet,
                         std::string* error);
  bool write_layer_per_file(const fleet& fleet, std::string* error);
  bool write_gpx(GDALDataset& dataset, const fleet& fleet, std::string* error);
  bool write_kml(GDALDataset& dataset, const fleet& fleet, std::string* error);
  bool close(GDALDataset* dataset, std::string* error);

  std::string path_;         // as given: what GDAL opens
  std::string destination_;  // as shown
  ogr_output output_;
  std::unique_ptr<GDALDataset> existing_;  // appending: opened for update
  bool appending_ = false;  // stays true once written and closed
  std::unique_ptr<staging_dir> staging_;   // writing anew
};

GDALDriver* ogr_sink::driver(std::string* error) const {
  GDALDriver* found = GetGDALDriverManager()->GetDriverByName(output_.driver.c_str());
  if (found == nullptr) *error = "this GDAL has no " + output_.driver + " driver";
  return found;
}

bool ogr_sink::open(std::string* error) {
  GDALAllRegister();
  quiet_gdal quiet;
  if (driver(error) == nullptr) return false;
  const bool exists = !output_.is_file || std::filesystem::exists(path_);
  if (output_.appendable && exists) {
    const char* allowed[] = {output_.driver.c_str(), nullptr};
    existing_.reset(GDALDataset::Open(path_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE,
                                      allowed, nullptr, nullptr));
    if (existing_ == nullptr) {
      *error = gdal_error("cannot open " + destination_ + " as " + output_.driver +
                          " to add to it");
      return false;
    }
    appending_ = true;
    return true;
  }
  if (!output_.is_file) {
    *error = "cannot write to " + destination_ + " with " + output_.driver;
    return false;
  }
  staging_ = staging_dir::beside(path_, error);
  return staging_ != nullptr;
}

bool ogr_sink::read_stored(std::vector<track_point>* points, std::string* error) {
  if (existing_ == nullptr) return true;
  quiet_gdal quiet;
  OGRLayer* layer = existing_->GetLayerByName(positions_layer);
  if (layer == nullptr) return true;  // a GeoPackage or database of other things
  const OGRFeatureDefn& definition = *layer->GetLayerDefn();
  const int id = definition.GetFieldIndex("modem_id");
  const int time = definition.GetFieldIndex("time");
  const int emergency = definition.GetFieldIndex("emergency");
  if (id < 0 || time < 0 || emergency < 0) {
    *error = "the positions layer of " + destination_ + " was not written by kaldo tracks";
    return false;
  }
  layer->ResetReading();
  for (auto& feature : *layer) {
    const auto* point = dynamic_cast<const OGRPoint*>(feature->GetGeometryRef());
    const auto instant = time_field(*feature, time);
    if (point == nullptr || !instant) {
      *error = "the positions layer of " + destination_ + " has a feature (fid " +
               std::to_string(feature->GetFID()) + ") without a point or a time";
      return false;
    }
    track_point stored;
    stored.modem_id = feature->GetFieldAsString(id);
    stored.position.time = *instant;
    stored.position.longitude = point->getX();
    stored.position.latitude = point->getY();
    stored.position.emergency = feature->GetFieldAsInteger(emergency) != 0;
    points->push_back(std::move(stored));
  }
  if (CPLGetLastErrorType() == CE_Failure) {
    *error = gdal_error("cannot read the positions layer of " + destination_);
    return false;
  }
  return true;
}

GDALDataset* ogr_sink::create(const std::string& path, std::string* error) {
  GDALDriver* found = driver(error);
  if (found == nullptr) return nullptr;
  options_list options(output_.dataset_options);
  GDALDataset* dataset = found->Create(path.c_str(), 0, 0, 0, GDT_Unknown, options.get());
  if (dataset == nullptr) {
    *error = gdal_error("cannot create " + destination_ + " with " + output_.driver);
  }
  return dataset;
}

bool ogr_sink::close(GDALDataset* dataset, std::string* error) {
  // Most file drivers write their last bytes when closed; GDAL 3.6's
  // GDALClose has no result, so its last error tells.
  CPLErrorReset();
  GDALClose(dataset);
  if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
    // With no `error`, the failure before this one is the one to tell.
    if (error != nullptr) *error = gdal_error("cannot finish writing " + destination_);
    return false;
  }
  return true;
}

bool ogr_sink::write(const fleet& fleet, std::string* error) {
  quiet_gdal quiet;
  if (existing_ != nullptr) {
    // One transaction for the whole run: big transactions are what make
    // GeoPackage and PostgreSQL fast, and a failure rolls all of it back.
    if (existing_->StartTransaction() != OGRERR_NONE) {
      *error = gdal_error("cannot start a transaction in " + destination_);
      return false;
    }
    if (!write_both_layers(*existing_, true, fleet, error)) {
      existing_->RollbackTransaction();
      return false;
    }
    if (existing_->CommitTransaction() != OGRERR_NONE) {
      *error = gdal_error("cannot commit to " + destination_);
      existing_->RollbackTransaction();
      return false;
    }
    existing_.reset();
    if (CPLGetLastErrorType() == CE_Failure) {
      *error = gdal_error("cannot finish writing " + destination_);
      return false;
    }
    return true;
  }

  bool written = false;
  if (output_.layout == layer_layout::layer_per_file) {
    written = write_layer_per_file(fleet, error);
  } else {
    GDALDataset* dataset = create(staging_->path_for(path_), error);
    if (dataset == nullptr) return false;
    switch (output_.layout) {
      case layer_layout::both_layers: {
        const bool transaction = dataset->StartTransaction() == OGRERR_NONE;
        written = write_both_layers(*dataset, false, fleet, error);
        if (written && transaction && dataset->CommitTransaction() != OGRERR_NONE) {
          *error = gdal_error("cannot commit to " + destination_);
          written = false;
        }
        break;
      }
      case layer_layout::gpx_tracks: written = write_gpx(*dataset, fleet, error); break;
      case layer_layout::kml_folders: written = write_kml(*dataset, fleet, error); break;
      case layer_layout::layer_per_file: break;
    }
    written = close(dataset, written ? error : nullptr) && written;
  }
  return written && staging_->move_in(error);
}

bool ogr_sink::write_both_layers(GDALDataset& dataset, bool adding, const fleet& fleet,
                                 std::string* error) {
  OGRSpatialReference srs = wgs84();
  OGRLayer* positions = adding ? dataset.GetLayerByName(positions_layer) : nullptr;
  OGRLayer* tracks = adding ? dataset.GetLayerByName(tracks_layer) : nullptr;
  const bool new_positions = positions == nullptr;
  const bool new_tracks = tracks == nullptr;
  if (new_positions) {
    options_list options(output_.positions_options);
    positions = dataset.CreateLayer(positions_layer, &srs, wkbPoint, options.get());
  }
  if (new_tracks) {
    options_list options(output_.tracks_options);
    tracks = dataset.CreateLayer(tracks_layer, &srs, wkbLineString, options.get());
  }
  if (positions == nullptr || tracks == nullptr) {
    *error = gdal_error("cannot create the layers in " + destination_);
    return false;
  }
  auto point_indices =
      point_field_indices(*positions, positions_fields(), new_positions, output_.time_as_text, error);
  auto track_indices =
      track_field_indices(*tracks, tracks_fields(), new_tracks, output_.time_as_text, error);
  if (point_indices.empty() || track_indices.empty()) return false;

  // The rows an earlier run wrote are updated in place, keeping their fids.
  std::map<std::string, GIntBig> track_rows;
  if (!new_tracks) {
    const int id = track_indices[0];
    tracks->ResetReading();
    for (auto& feature : *tracks) track_rows.emplace(feature->GetFieldAsString(id), feature->GetFID());
  }

  point_writer points(*positions, positions_fields(), std::move(point_indices),
                      output_.time_as_text);
  for (const track_point& point : fleet.points) {
    if (!point.stored && !points.write(point, 0, error)) return false;
  }
  track_writer lines(*tracks, tracks_fields(), std::move(track_indices), output_.time_as_text);
  for (const unit_track& unit : fleet.units) {
    // A unit's line is rebuilt when it got points; one without a row (its
    // tracks layer lost or deleted) gets its row back.
    const auto row = track_rows.find(unit.modem_id);
    if (!unit.changed && row != track_rows.end()) continue;
    if (!lines.write(fleet, unit, row == track_rows.end() ? OGRNullFID : row->second, error)) {
      return false;
    }
  }
  return true;
}

bool ogr_sink::write_layer_per_file(const fleet& fleet, std::string* error) {
  OGRSpatialReference srs = wgs84();
  const struct {
    std::string path;
    const char* name;
    OGRwkbGeometryType type;
    const std::vector<std::string>& options;
  } files[] = {
      {path_, positions_layer, wkbPoint, output_.positions_options},
      {tracks_file_beside(path_), tracks_layer,
       output_.single_point_track_as_point ? wkbUnknown : wkbLineString, output_.tracks_options},
  };
  for (const auto& file : files) {
    GDALDataset* dataset = create(staging_->path_for(file.path), error);
    if (dataset == nullptr) return false;
    options_list options(file.options);
    OGRLayer* layer = dataset->CreateLayer(file.name, &srs, file.type, options.get());
    bool written = layer != nullptr;
    if (!written) *error = gdal_error("cannot create the layer " + std::string(file.name));
    if (written && file.name == positions_layer) {
      auto indices = point_field_indices(*layer, positions_fields(), true, output_.time_as_text, error);
      written = !indices.empty();
      point_writer points(*layer, positions_fields(), std::move(indices), output_.time_as_text);
      for (const track_point& point : fleet.points) {
        if (!written) break;
        written = points.write(point, 0, error);
      }
    } else if (written) {
      auto indices = track_field_indices(*layer, tracks_fields(), true, output_.time_as_text, error);
      written = !indices.empty();
      track_writer lines(*layer, tracks_fields(), std::move(indices), output_.time_as_text,
                         output_.single_point_track_as_point);
      for (const unit_track& unit : fleet.units) {
        if (!written) break;
        written = lines.write(fleet, unit, OGRNullFID, error);
      }
    }
    if (!close(dataset, written ? error : nullptr) || !written) return false;
  }
  return true;
}

bool ogr_sink::write_gpx(GDALDataset& dataset, const fleet& fleet, std::string* error) {
  OGRSpatialReference srs = wgs84();
  OGRLayer* layer = dataset.CreateLayer("track_points", &srs, wkbPoint, nullptr);
  if (layer == nullptr) {
    *error = gdal_error("cannot create the track points of " + destination_);
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
}

bool ogr_sink::write_kml(GDALDataset& dataset, const fleet& fleet, std::string* error) {
  OGRSpatialReference srs = wgs84();
  for (const unit_track& unit : fleet.units) {
    OGRLayer* layer = dataset.CreateLayer(unit.modem_id.c_str(), &srs, wkbUnknown, nullptr);
    if (layer == nullptr) {
      *error = gdal_error("cannot create the folder of " + unit.modem_id);
      return false;
    }
    // One schema per folder: the line's fields, then those of the points
    // that the line does not have.
    auto line_indices = track_field_indices(*layer, kml_line_fields(), true, true, error);
    if (line_indices.empty()) return false;
    auto point_indices = point_field_indices(*layer, kml_point_fields(), true, true, error);
    if (point_indices.empty()) return false;
    track_writer line(*layer, kml_line_fields(), std::move(line_indices), true);
    if (unit.points.size() >= 2 && !line.write(fleet, unit, OGRNullFID, error)) return false;
    point_writer points(*layer, kml_point_fields(), std::move(point_indices), true);
    for (const std::size_t i : unit.points) {
      if (!points.write(fleet.points[i], 0, error)) return false;
    }
  }
  return true;
}

}  // namespace

std::unique_ptr<fleet_sink> open_ogr_sink(const std::string& destination,
                                          const ogr_output& output, std::string* error) {
  auto sink = std::make_unique<ogr_sink>(destination, output);
  if (!sink->open(error)) return nullptr;
  return sink;
}

}  // namespace kaldo::tool
