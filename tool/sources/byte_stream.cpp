#include "tool/sources/byte_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kaldo::tool {

std::int64_t byte_stream::read(char* buffer, std::size_t size) {
  if (head_read_ < head_.size()) {
    const std::size_t n = std::min(size, head_.size() - head_read_);
    std::memcpy(buffer, head_.data() + head_read_, n);
    head_read_ += n;
    return static_cast<std::int64_t>(n);
  }
  if (failed_) return -1;
  const std::int64_t got = read_more(buffer, size);
  if (got < 0) failed_ = true;
  return got;
}

std::string_view byte_stream::peek(std::size_t size) {
  while (head_.size() < size && !failed_) {
    const std::size_t held = head_.size();
    head_.resize(size);
    const std::int64_t got = read_more(head_.data() + held, size - held);
    head_.resize(held + static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
    if (got < 0) failed_ = true;
    if (got <= 0) break;
  }
  return head_;
}

std::unique_ptr<spool_file> spool_file::create(std::string* error) {
  const char* folder = std::getenv("TMPDIR");
  std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/kaldo-XXXXXX";
  std::vector<char> path(name.begin(), name.end());
  path.push_back('\0');
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "no temporary file in " + name.substr(0, name.size() - 13) + ": " + std::strerror(errno);
    return nullptr;
  }
  ::unlink(path.data());
  return std::unique_ptr<spool_file>(new spool_file(fd));
}

spool_file::~spool_file() { ::close(fd_); }

bool spool_file::append(const void* data, std::size_t size, std::string* error) {
  const char* bytes = static_cast<const char*>(data);
  // pwrite, not write: the GMime streams over the file move the offset
  // they share with this descriptor.
  while (size > 0) {
    const ssize_t put = ::pwrite(fd_, bytes, size, static_cast<off_t>(size_));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *error = std::string("cannot write a temporary file: ") + std::strerror(put < 0 ? errno : ENOSPC);
      return false;
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
    size_ += static_cast<std::uint64_t>(put);
  }
  return true;
}

void spool_file::truncate(std::uint64_t size) {
  if (size < size_ && ::ftruncate(fd_, static_cast<off_t>(size)) == 0) size_ = size;
}

void spool_file::release(std::uint64_t offset, std::uint64_t size) {
  // Where holes cannot be punched the bytes stay until the file is closed.
  (void)::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(size));
}

std::int64_t spool_file::read_at(std::uint64_t offset, char* buffer, std::size_t size) const {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd_, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

gobject_ptr<GMimeStream> spool_file::stream(std::string* error) const {
  use_gmime();
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
    *error = std::string("cannot read a temporary file: ") + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  // The stream owns the descriptor and closes it with itself.
  return gobject_ptr<GMimeStream>(g_mime_stream_fs_new(fd));
}

}  // namespace kaldo::tool
