// One run's GDAL work on a destination: the dataset an earlier run wrote,
// opened to add to it, or new datasets staged beside the destination and
// moved into place once complete; transactions; and the points an earlier
// run stored, read back. The layout writers (ogr_layout_writer.h) write
// through it and never open, create or close a dataset themselves.
#pragma once

#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tool/fleet.h"
#include "tool/outputs/ogr_outputs.h"
#include "tool/outputs/staging_dir.h"

namespace kaldo::tool {

// GDAL reports through its own handler on stderr by default, SQL and all.
// While one of these lives, its messages are kept from the user unless
// `shown` (--verbose): a failure becomes our own text, with the first line
// of GDAL's last message in it (gdal_error).
class gdal_messages {
 public:
  explicit gdal_messages(bool shown);
  ~gdal_messages();
  gdal_messages(const gdal_messages&) = delete;
  gdal_messages& operator=(const gdal_messages&) = delete;
};

// Creation options as GDAL takes them.
class options_list {
 public:
  explicit options_list(const std::vector<std::string>& options);
  char** get() { return list_.List(); }

 private:
  CPLStringList list_;
};

// WGS 84 with longitude first, as every one of our formats stores it.
OGRSpatialReference wgs84();

class ogr_session {
 public:
  // Opens `destination` for `output`: an existing dataset of a format that
  // is added to, else a staging directory beside a file destination.
  // Checks already that it can be written; empty with the reason in
  // `*error` otherwise. `verbose` shows GDAL's own messages in full.
  static std::unique_ptr<ogr_session> open(const std::string& destination,
                                           const ogr_output& output, bool verbose,
                                           std::string* error);

  // Closes what is still open; what was staged but not moved goes with
  // the staging directory.
  ~ogr_session();
  ogr_session(const ogr_session&) = delete;
  ogr_session& operator=(const ogr_session&) = delete;

  const ogr_output& output() const { return output_; }
  // Writes with `output` instead (same destination, written anew).
  void use_output(ogr_output output) { output_ = std::move(output); }
  // The destination as given: what GDAL opens, and where new files go.
  const std::string& path() const { return path_; }
  // The destination as messages show it: a connection string's password
  // stays out of the terminal and the logs.
  const std::string& shown() const { return shown_; }
  // Whether GDAL's own messages are shown in full (--verbose).
  bool verbose() const { return verbose_; }
  // The run's inputs as named on the command line, for the metadata of a
  // format that keeps a record of what wrote it.
  const std::vector<std::string>& inputs() const { return inputs_; }
  void set_inputs(std::vector<std::string> inputs) { inputs_ = std::move(inputs); }

  // The dataset an earlier run wrote, open for update; null when the
  // destination is written anew.
  GDALDataset* existing() const { return existing_.get(); }
  // Whether the destination is added to; stays true once written.
  bool appending() const { return appending_; }

  // The points of the existing dataset's positions layer; none when there
  // is no such dataset or layer.
  bool read_stored(std::vector<track_point>* points, std::string* error);

  // Creates a dataset that is to end up at `final_path` (the destination
  // or a file beside it), lets `fill` write into it and closes it. It is
  // moved into place by finish() only, with the others. Fails, saying
  // "not written: FINAL_PATH: " and why, when `fill` or the closing fails,
  // GDAL recorded a failure, or a write, flush or close of one of its files
  // failed, whatever the driver made of that.
  bool write_new(const std::string& final_path, const std::function<bool(GDALDataset&)>& fill,
                 std::string* error);

  // Lets `body` add to the existing dataset in one transaction, rolled
  // back when it or the commit fails; says "not written: " and why.
  bool add_to_existing(const std::function<bool(GDALDataset&)>& body, std::string* error);

  // Runs `body` in one transaction on `dataset`: committed when it
  // succeeds, rolled back when it or the commit fails. A driver without
  // transactions runs `body` as it is, unless one is `required`.
  bool in_transaction(GDALDataset& dataset, bool required, const std::function<bool()>& body,
                      std::string* error);

  // Ends the write: closes the existing dataset, or checks every new file
  // and moves it into place.
  bool finish(std::string* error);

 private:
  ogr_session(std::string destination, ogr_output output, bool verbose);
  bool prepare(std::string* error);
  GDALDriver* driver(std::string* error) const;
  bool close(GDALDataset* dataset, std::string* error);
  std::string not_written(const std::string& file, const std::string& reason) const;

  std::string path_;
  std::string shown_;
  ogr_output output_;
  bool verbose_;
  // Whether new files go through checked_path() (checked_files.h).
  bool checked_ = false;
  std::unique_ptr<GDALDataset> existing_;
  bool appending_ = false;
  std::unique_ptr<staging_dir> staging_;
  std::vector<std::string> inputs_;
};

}  // namespace kaldo::tool
