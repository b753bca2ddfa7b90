// Reading an input file's bytes, bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kaldo::detail {

// Reads the file named `name` in binary mode, keeping at most `keep` bytes
// in `bytes` and setting `full_length` to the file's whole length. Returns
// false when the file cannot be opened or read (a directory, say).
bool read_file_bytes(const std::string& name, std::size_t keep,
                     std::string& bytes, std::uint64_t& full_length);

}  // namespace kaldo::detail
