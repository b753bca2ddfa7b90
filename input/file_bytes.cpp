#include "input/file_bytes.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#endif

namespace kaldo::detail {

namespace {

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

constexpr std::size_t chunk_size = 1 << 16;

// Names are UTF-8. On Windows fopen would read them in the ANSI code page,
// where most non-ASCII names cannot be written, so the name goes through
// UTF-16 and the wide call; a name that is not UTF-8 names no file there.
std::FILE* open_for_reading(const std::string& name) {
#ifdef _WIN32
  if (name.empty()) return nullptr;
  const int length = static_cast<int>(name.size());
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(),
                                       length, nullptr, 0);
  if (size <= 0) return nullptr;
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), length,
                      wide.data(), size);
  std::FILE* f = _wfopen(wide.c_str(), L"rb");
  // NUL.sbd, CON.eml, COM1.sbd and the like name devices on Windows, not
  // files: no attachment can be saved under them, and CON would wait for
  // the keyboard. They are refused as a missing file is.
  if (f != nullptr &&
      GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) == FILE_TYPE_CHAR) {
    std::fclose(f);
    return nullptr;
  }
  return f;
#else
  return std::fopen(name.c_str(), "rb");
#endif
}

// Windows' long is 32 bits: the 64-bit calls keep the seek past 2 GB.
long long tell(std::FILE* f) {
#ifdef _WIN32
  return _ftelli64(f);
#else
  return std::ftell(f);
#endif
}

int seek_to_end(std::FILE* f) {
#ifdef _WIN32
  return _fseeki64(f, 0, SEEK_END);
#else
  return std::fseek(f, 0, SEEK_END);
#endif
}

// Counts the bytes left after what was kept: by seeking where the file
// allows it, by reading otherwise (a pipe, say).
bool count_remaining(std::FILE* f, std::uint64_t& count) {
  const long long here = tell(f);
  if (here >= 0 && seek_to_end(f) == 0) {
    const long long end = tell(f);
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
  file_handle f(open_for_reading(name));
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
