#include "tool/sources/gmime_support.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace kaldo::tool {

void use_gmime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

gobject_ptr<GMimeStream> open_file_stream(const std::string& path, std::string* error) {
  use_gmime();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  // The stream owns the descriptor and closes it with itself.
  return gobject_ptr<GMimeStream>(g_mime_stream_fs_new(fd));
}

}  // namespace kaldo::tool
