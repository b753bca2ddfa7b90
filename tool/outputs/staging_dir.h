// A file destination is written in a hidden directory beside it and moved
// into place only once every file of it is complete: a failed run leaves
// the destination as it was, and never half a file (or half of a
// Shapefile's set of files).
#pragma once

#include <memory>
#include <string>

namespace kaldo::tool {

class staging_dir {
 public:
  // A fresh directory in the directory of `destination`, so that moving
  // out of it is a rename on one file system. Empty with the reason in
  // `*error` when that directory cannot be written.
  static std::unique_ptr<staging_dir> beside(const std::string& destination, std::string* error);

  // Removes the directory and whatever is still in it.
  ~staging_dir();
  staging_dir(const staging_dir&) = delete;
  staging_dir& operator=(const staging_dir&) = delete;

  // The directory itself.
  const std::string& path() const { return path_; }

  // Where to write the file that is to end up at `final_path`.
  std::string path_for(const std::string& final_path) const;

  // Moves every file written here to the destination's directory,
  // replacing files of the same names, once each of them is on the disk
  // (fsync): a disk that cannot hold one moves none. A failure names the
  // file: "DIR/NAME: why".
  bool move_in(std::string* error);

 private:
  staging_dir(std::string path, std::string target) : path_(std::move(path)), target_(std::move(target)) {}
  std::string path_;
  std::string target_;  // the destination's directory
};

}  // namespace kaldo::tool
