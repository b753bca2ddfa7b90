// Bytes that can be read once, front to back, and never again: a file as an
// archive unpacks it. The readers of .sbd files, e-mails and mbox files
// read such bytes in the memory they need for a file on disk; what they
// would otherwise read twice (an e-mail larger than they hold in memory)
// waits in an unnamed temporary file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tool/sources/gmime_support.h"

namespace kaldo::tool {

class byte_stream {
 public:
  virtual ~byte_stream() = default;
  // Up to `size` bytes into `buffer`: how many, 0 at the end, -1 when they
  // cannot be read (failure() says why; every later call is -1 too).
  std::int64_t read(char* buffer, std::size_t size);
  // The first bytes, up to `size` (fewer when the bytes end or fail
  // sooner), which read() then hands out again. Only before the first
  // read.
  std::string_view peek(std::size_t size);
  // Why the bytes could not be read; empty while they can.
  const std::string& failure() const { return failure_; }

 protected:
  // The next bytes; -1 after setting the failure with fail().
  virtual std::int64_t read_more(char* buffer, std::size_t size) = 0;
  void fail(std::string why) { failure_ = std::move(why); }

 private:
  std::string head_;  // peeked, not yet read
  std::size_t head_read_ = 0;
  bool failed_ = false;
  std::string failure_;
};

// An unnamed temporary file in $TMPDIR (else /tmp): gone once closed, even
// when the program is killed, since no name ever points at it.
class spool_file {
 public:
  // Null with the reason when no temporary file can be made.
  static std::unique_ptr<spool_file> create(std::string* error);
  ~spool_file();
  spool_file(const spool_file&) = delete;
  spool_file& operator=(const spool_file&) = delete;

  // Adds `size` bytes at the end; false with the reason (a full disk).
  bool append(const void* data, std::size_t size, std::string* error);
  // Up to `size` bytes from `offset` on: how many (fewer at the end), -1
  // on a read error.
  std::int64_t read_at(std::uint64_t offset, char* buffer, std::size_t size) const;
  std::uint64_t size() const { return size_; }
  // Drops the bytes from `size` on, to be written again.
  void truncate(std::uint64_t size);
  // Gives the disk space of bytes read for the last time back, where the
  // file system can (the file keeps its size).
  void release(std::uint64_t offset, std::uint64_t size);
  // A GMime stream over the whole file, at its start, with a descriptor of
  // its own; null with the reason when none can be made.
  gobject_ptr<GMimeStream> stream(std::string* error) const;

 private:
  explicit spool_file(int fd) : fd_(fd) {}
  int fd_;
  std::uint64_t size_ = 0;
};

}  // namespace kaldo::tool
