#include "input/file_bytes.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace kaldo::detail {

namespace {

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

constexpr std::size_t chunk_size = 1 << 16;

// Counts the bytes left after what was kept: by seeking where the file
// allows it, by reading otherwise (a pipe, say).
bool count_remaining(std::FILE* f, std::uint64_t& count) {
  const long long here = std::ftell(f);
  if (here >= 0 && std::fseek(f, 0, SEEK_END) == 0) {
    const long long end = std::ftell(f);
    if (end >= here) {
      count = static_cast<std::uint64_t>(end - here);
      return true;
    }
  }
  std::clearerr(f);
  char buffer[4096];
  count = 0;
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) count += got;
  return !std::ferror(f);
}

}  // namespace

bool read_file_bytes(const std::string& name, std::size_t keep,
                     std::string& bytes, std::uint64_t& full_length) {
  file_handle f(std::fopen(name.c_str(), "rb"));
  if (!f) return false;
  bytes.clear();
  while (bytes.size() < keep) {
    const std::size_t want = std::min(chunk_size, keep - bytes.size());
    const std::size_t old_size = bytes.size();
    bytes.resize(old_size + want);
    const std::size_t got = std::fread(bytes.data() + old_size, 1, want, f.get());
    bytes.resize(old_size + got);
    if (got < want) {
      if (std::ferror(f.get())) return false;
      full_length = bytes.size();
      return true;
    }
  }
  // Kept all that was asked for: is there more?
  const int next = std::fgetc(f.get());
  if (next == EOF) {
    full_length = bytes.size();
    return !std::ferror(f.get());
  }
  std::uint64_t rest = 0;
  if (!count_remaining(f.get(), rest)) return false;
  full_length = bytes.size() + 1 + rest;
  return true;
}

}  // namespace kaldo::detail
