#include "tool/outputs/ogr_session.h"

#include <cpl_error.h>
#include <ogrsf_frmts.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <regex>

#include "tool/outputs/ogr_layers.h"
#include "tool/utc_text.h"

namespace kaldo::tool {
namespace {

using namespace std::chrono;

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

std::string without_password(const std::string& destination) {
  static const std::regex password(R"((password\s*=\s*)('[^']*'|\S+))", std::regex::icase);
  return std::regex_replace(destination, password, "$1...");
}

}  // namespace

quiet_gdal::quiet_gdal() {
  CPLPushErrorHandler(CPLQuietErrorHandler);
  CPLErrorReset();
}

quiet_gdal::~quiet_gdal() { CPLPopErrorHandler(); }

options_list::options_list(const std::vector<std::string>& options) {
  for (const auto& option : options) list_.AddString(option.c_str());
}

OGRSpatialReference wgs84() {
  OGRSpatialReference srs;
  srs.importFromEPSG(4326);
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  return srs;
}

ogr_session::ogr_session(std::string destination, ogr_output output)
    : path_(std::move(destination)), shown_(without_password(path_)), output_(std::move(output)) {}

std::unique_ptr<ogr_session> ogr_session::open(const std::string& destination,
                                               const ogr_output& output, std::string* error) {
  std::unique_ptr<ogr_session> session(new ogr_session(destination, output));
  if (!session->prepare(error)) return nullptr;
  return session;
}

GDALDriver* ogr_session::driver(std::string* error) const {
  GDALDriver* found = GetGDALDriverManager()->GetDriverByName(output_.driver.c_str());
  if (found == nullptr) *error = "this GDAL has no " + output_.driver + " driver";
  return found;
}

bool ogr_session::prepare(std::string* error) {
  GDALAllRegister();
  quiet_gdal quiet;
  if (driver(error) == nullptr) return false;
  const bool exists = !output_.is_file || std::filesystem::exists(path_);
  if (output_.appendable && exists) {
    const char* allowed[] = {output_.driver.c_str(), nullptr};
    existing_.reset(GDALDataset::Open(path_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, allowed,
                                      nullptr, nullptr));
    if (existing_ == nullptr) {
      *error = gdal_error("cannot open " + shown_ + " as " + output_.driver + " to add to it");
      return false;
    }
    appending_ = true;
    return true;
  }
  if (!output_.is_file) {
    *error = "cannot write to " + shown_ + " with " + output_.driver;
    return false;
  }
  staging_ = staging_dir::beside(path_, error);
  return staging_ != nullptr;
}

bool ogr_session::read_stored(std::vector<track_point>* points, std::string* error) {
  if (existing_ == nullptr) return true;
  quiet_gdal quiet;
  OGRLayer* layer = existing_->GetLayerByName(positions_layer);
  if (layer == nullptr) return true;  // a GeoPackage or database of other things
  const OGRFeatureDefn& definition = *layer->GetLayerDefn();
  const int id = definition.GetFieldIndex("modem_id");
  const int time = definition.GetFieldIndex("time");
  const int emergency = definition.GetFieldIndex("emergency");
  if (id < 0 || time < 0 || emergency < 0) {
    *error = "the positions layer of " + shown_ + " was not written by kaldo tracks";
    return false;
  }
  layer->ResetReading();
  for (auto& feature : *layer) {
    const auto* point = dynamic_cast<const OGRPoint*>(feature->GetGeometryRef());
    const auto instant = time_field(*feature, time);
    if (point == nullptr || !instant) {
      *error = "the positions layer of " + shown_ + " has a feature (fid " +
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
    *error = gdal_error("cannot read the positions layer of " + shown_);
    return false;
  }
  return true;
}

bool ogr_session::write_new(const std::string& final_path,
                            const std::function<bool(GDALDataset&)>& fill, std::string* error) {
  if (staging_ == nullptr) {
    // Only a destination written anew has somewhere to stage new files.
    *error = "cannot write " + shown_ + " anew: it is open to be added to";
    return false;
  }
  GDALDriver* found = driver(error);
  if (found == nullptr) return false;
  options_list options(output_.dataset_options);
  GDALDataset* dataset = found->Create(staging_->path_for(final_path).c_str(), 0, 0, 0,
                                       GDT_Unknown, options.get());
  if (dataset == nullptr) {
    *error = gdal_error("cannot create " + shown_ + " with " + output_.driver);
    return false;
  }
  const bool filled = fill(*dataset);
  // After a failure, the failure is the one to tell, not the closing's.
  return close(dataset, filled ? error : nullptr) && filled;
}

bool ogr_session::close(GDALDataset* dataset, std::string* error) {
  // Most file drivers write their last bytes when closed; GDAL 3.6's
  // GDALClose has no result, so its last error tells.
  CPLErrorReset();
  GDALClose(dataset);
  if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
    if (error != nullptr) *error = gdal_error("cannot finish writing " + shown_);
    return false;
  }
  return true;
}

bool ogr_session::in_transaction(GDALDataset& dataset, bool required,
                                 const std::function<bool()>& body, std::string* error) {
  const bool started = dataset.StartTransaction() == OGRERR_NONE;
  if (!started && required) {
    *error = gdal_error("cannot start a transaction in " + shown_);
    return false;
  }
  if (!body()) {
    if (started) dataset.RollbackTransaction();
    return false;
  }
  if (started && dataset.CommitTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot commit to " + shown_);
    dataset.RollbackTransaction();
    return false;
  }
  return true;
}

bool ogr_session::finish(std::string* error) {
  if (existing_ != nullptr) {
    existing_.reset();
    if (CPLGetLastErrorType() == CE_Failure) {
      *error = gdal_error("cannot finish writing " + shown_);
      return false;
    }
    return true;
  }
  if (staging_ == nullptr) {
    *error = "cannot finish writing " + shown_ + ": it was finished already";
    return false;
  }
  return staging_->move_in(error);
}

}  // namespace kaldo::tool
