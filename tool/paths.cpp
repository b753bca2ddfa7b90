#include "tool/paths.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace kaldo::tool {

std::string last_path_component(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string join_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

bool list_folder(const std::string& folder, std::vector<std::string>& names,
                 std::string* error) {
  names.clear();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) {
    *error = std::strerror(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) {
        *error = std::strerror(errno);
        return false;
      }
      break;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  // Name order, not the file system's: a run is the same on every disk.
  std::sort(names.begin(), names.end());
  return true;
}

}  // namespace kaldo::tool
