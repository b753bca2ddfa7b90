#include "tool/outputs/staging_dir.h"

#include "tool/interrupt.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kaldo::tool {

namespace fs = std::filesystem;

std::unique_ptr<staging_dir> staging_dir::beside(const std::string& destination,
                                                 std::string* error) {
  const fs::path file{destination};
  fs::path directory = file.parent_path();
  if (directory.empty()) directory = ".";
  std::string name = ".";
  name += file.filename().string();
  name += ".kaldo-XXXXXX";
  std::string pattern = (directory / name).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot write in " + directory.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<staging_dir>(new staging_dir(pattern, directory.string()));
}

staging_dir::~staging_dir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string staging_dir::path_for(const std::string& final_path) const {
  return (fs::path(path_) / fs::path(final_path).filename()).string();
}

bool staging_dir::move_in(std::string* error) {
  // Interrupted before the move: the destination stays as it was.
  if (interrupt_signal() != 0) {
    *error = "interrupted";
    return false;
  }
  std::error_code failure;
  for (const auto& entry : fs::directory_iterator(path_, failure)) {
    const fs::path target = fs::path(target_) / entry.path().filename();
    fs::rename(entry.path(), target, failure);
    if (failure) {
      *error = "cannot move " + target.string() + " into place: " + failure.message();
      return false;
    }
  }
  if (failure) {
    *error = "cannot read " + path_ + ": " + failure.message();
    return false;
  }
  return true;
}

}  // namespace kaldo::tool
