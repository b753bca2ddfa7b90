#include "tool/outputs/staging_dir.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "tool/interrupt.h"

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
  std::error_code failure;
  std::vector<fs::path> staged;
  for (const auto& entry : fs::directory_iterator(path_, failure)) staged.push_back(entry.path());
  if (failure) {
    *error = path_ + ": cannot be read: " + failure.message();
    return false;
  }
  // Interrupted before the move: the destination stays as it was.
  if (interrupt_signal() != 0) {
    *error = (staged.empty() ? fs::path(target_) : fs::path(target_) / staged.front().filename())
                 .string() +
             ": interrupted";
    return false;
  }
  // A file system may take the last of a file only now: every file is
  // checked before the first one replaces anything.
  for (const fs::path& file : staged) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int code = errno;
    if ((fd >= 0 && ::close(fd) != 0) || !synced) {
      *error = (fs::path(target_) / file.filename()).string() + ": " +
               std::strerror(synced ? errno : code);
      return false;
    }
  }
  for (const fs::path& file : staged) {
    const fs::path target = fs::path(target_) / file.filename();
    fs::rename(file, target, failure);
    if (failure) {
      *error = target.string() + ": cannot move it into place: " + failure.message();
      return false;
    }
  }
  return true;
}

}  // namespace kaldo::tool
