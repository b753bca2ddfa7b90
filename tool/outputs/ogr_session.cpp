#include "tool/outputs/ogr_session.h"

#include <cpl_error.h>
#include <ogrsf_frmts.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <regex>

#include "tool/outputs/checked_files.h"
#include "tool/outputs/ogr_layers.h"
#include "tool/utc_text.h"

namespace kaldo::tool {
namespace {

using namespace std::chrono;

// SQLite gives a transaction up by itself when a disk fills (often at the
// commit): GDAL 3.6's GeoPackage driver then has no transaction to roll
// back, still holds the work as done, and writes its feature counts and
// change times outside of any transaction when the dataset is closed.
// Rolling back an empty transaction makes it forget that work, and the
// file stays as it was.
void roll_back(GDALDataset& dataset) {
  if (dataset.RollbackTransaction() != OGRERR_NONE && dataset.StartTransaction() == OGRERR_NONE) {
    dataset.RollbackTransaction();
  }
}

std::string without_password(const std::string& destination) {
  static const std::regex password(R"((password\s*=\s*)('[^']*'|\S+))", std::regex::icase);
  return std::regex_replace(destination, password, "$1...");
}

}  // namespace

gdal_messages::gdal_messages(bool shown) {
  // GDAL's default handler writes "ERROR 1: ..." to stderr, and debug
  // messages when CPL_DEBUG asks for them.
  CPLPushErrorHandler(shown ? CPLDefaultErrorHandler : CPLQuietErrorHandler);
  CPLErrorReset();
}

gdal_messages::~gdal_messages() { CPLPopErrorHandler(); }

options_list::options_list(const std::vector<std::string>& options) {
  for (const auto& option : options) list_.AddString(option.c_str());
}

OGRSpatialReference wgs84() {
  OGRSpatialReference srs;
  srs.importFromEPSG(4326);
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  return srs;
}

ogr_session::ogr_session(std::string destination, ogr_output output, bool verbose)
    : path_(std::move(destination)),
      shown_(without_password(path_)),
      output_(std::move(output)),
      verbose_(verbose) {}

ogr_session::~ogr_session() {
  // A database left open after a failure rolls back here.
  gdal_messages messages(verbose_);
  existing_.reset();
  if (staging_ != nullptr) forget_write_failures_under(staging_->path());
}

std::unique_ptr<ogr_session> ogr_session::open(const std::string& destination,
                                               const ogr_output& output, bool verbose,
                                               std::string* error) {
  std::unique_ptr<ogr_session> session(new ogr_session(destination, output, verbose));
  if (!session->prepare(error)) return nullptr;
  return session;
}

GDALDriver* ogr_session::driver(std::string* error) const {
  GDALDriver* found = GetGDALDriverManager()->GetDriverByName(output_.driver.c_str());
  if (found == nullptr) *error = "this GDAL has no " + output_.driver + " driver";
  return found;
}

std::string ogr_session::not_written(const std::string& file, const std::string& reason) const {
  return "not written: " + (file == path_ ? shown_ : file) + ": " + reason;
}

bool ogr_session::prepare(std::string* error) {
  GDALAllRegister();
  gdal_messages messages(verbose_);
  GDALDriver* found = driver(error);
  if (found == nullptr) return false;
  // New files go through checked_path() when the driver writes through
  // GDAL's virtual files; one that opens its files itself could not, and
  // is trusted to say its own failures. A new GeoPackage goes through too:
  // GDAL then gives SQLite a file layer on the virtual files that locks
  // nothing, and nobody else has a staged file open.
  const char* virtual_io = found->GetMetadataItem(GDAL_DCAP_VIRTUALIO);
  checked_ = virtual_io != nullptr && CPLTestBool(virtual_io);
  const bool exists = !output_.is_file || std::filesystem::exists(path_);
  if (output_.appendable && exists) {
    // An earlier GeoPackage stays on SQLite's own file layer, the one that
    // locks it against QGIS or another run writing at the same time;
    // SQLite checks every write of it and says a full disk.
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
  gdal_messages messages(verbose_);
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

namespace {

// GDAL configuration options set for this thread while a destination is
// written, and put back as they were after.
class thread_config {
 public:
  explicit thread_config(const std::vector<std::string>& options) {
    for (const std::string& option : options) {
      const std::size_t equals = option.find('=');
      std::string key = option.substr(0, equals);
      const char* before = CPLGetThreadLocalConfigOption(key.c_str(), nullptr);
      saved_.push_back({key, before ? std::optional<std::string>(before) : std::nullopt});
      CPLSetThreadLocalConfigOption(key.c_str(), option.substr(equals + 1).c_str());
    }
  }
  ~thread_config() {
    for (auto at = saved_.rbegin(); at != saved_.rend(); ++at) {
      CPLSetThreadLocalConfigOption(at->first.c_str(), at->second ? at->second->c_str() : nullptr);
    }
  }
  thread_config(const thread_config&) = delete;
  thread_config& operator=(const thread_config&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

bool ogr_session::write_new(const std::string& final_path,
                            const std::function<bool(GDALDataset&)>& fill, std::string* error) {
  if (staging_ == nullptr) {
    // Only a destination written anew has somewhere to stage new files.
    *error = "cannot write " + shown_ + " anew: it is open to be added to";
    return false;
  }
  GDALDriver* found = driver(error);
  if (found == nullptr) return false;
  const std::string staged = staging_->path_for(final_path);
  options_list options(output_.dataset_options);
  const thread_config config(output_.config_options);
  GDALDataset* dataset = found->Create((checked_ ? checked_path(staged) : staged).c_str(), 0, 0,
                                       0, GDT_Unknown, options.get());
  bool filled = false, closed = false;
  std::string closing;
  if (dataset != nullptr) {
    filled = fill(*dataset);
    closed = close(dataset, &closing);
  }
  // A failed write of a file is the cause of whatever the driver said
  // after it, and the one thing to tell when the driver said nothing.
  if (const auto failure = write_failure_under(staging_->path())) {
    *error = not_written(final_path, failure->reason);
    return false;
  }
  if (dataset == nullptr) {
    *error = not_written(final_path, gdal_error("cannot create it with " + output_.driver));
    return false;
  }
  // After a failure, the failure is the one to tell, not the closing's.
  if (!filled || !closed) {
    *error = not_written(final_path, filled ? closing : *error);
    return false;
  }
  return true;
}

bool ogr_session::add_to_existing(const std::function<bool(GDALDataset&)>& body,
                                  std::string* error) {
  if (existing_ == nullptr) {
    *error = "cannot add to " + shown_ + ": it is written anew";
    return false;
  }
  if (!in_transaction(*existing_, true, [&] { return body(*existing_); }, error)) {
    *error = not_written(path_, *error);
    return false;
  }
  return true;
}

bool ogr_session::close(GDALDataset* dataset, std::string* error) {
  // Most file drivers write their last bytes when closed; GDAL 3.6's
  // GDALClose has no result, so its last error tells.
  CPLErrorReset();
  GDALClose(dataset);
  if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
    *error = gdal_error("cannot finish it");
    return false;
  }
  return true;
}

bool ogr_session::in_transaction(GDALDataset& dataset, bool required,
                                 const std::function<bool()>& body, std::string* error) {
  const bool started = dataset.StartTransaction() == OGRERR_NONE;
  if (!started && required) {
    *error = gdal_error("cannot start a transaction");
    return false;
  }
  if (!body()) {
    if (started) roll_back(dataset);
    return false;
  }
  if (started && dataset.CommitTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot commit");
    roll_back(dataset);
    return false;
  }
  return true;
}

bool ogr_session::finish(std::string* error) {
  if (existing_ != nullptr) {
    if (!close(existing_.release(), error)) {
      *error = not_written(path_, *error);
      return false;
    }
    return true;
  }
  if (staging_ == nullptr) {
    *error = "cannot finish writing " + shown_ + ": it was finished already";
    return false;
  }
  if (!staging_->move_in(error)) {
    // The reason names the file it is about.
    *error = "not written: " + *error;
    return false;
  }
  return true;
}

}  // namespace kaldo::tool
