// Where an mbox can be cut into pieces that are parsed apart: at the start
// of a "From " line that follows an empty line. Mail programs write every
// e-mail after its own "From " line and an empty line after each e-mail,
// and GMime ends an e-mail at any line that starts with "From ", so a piece
// that starts at such a line starts where one parser reading the whole
// file would start the next e-mail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kaldo::tool {

class mbox_cut_finder {
 public:
  // Reads the next `size` bytes of the file; adds the offsets of the cuts
  // found to `cuts`, in order. A "From " split across two calls is found
  // by the second.
  void feed(const char* data, std::size_t size, std::vector<std::uint64_t>& cuts);

 private:
  void match_candidate(const char* data, std::size_t size, std::size_t at,
                       std::vector<std::uint64_t>& cuts);

  std::uint64_t offset_ = 0;        // of the next byte fed
  std::int64_t last_newline_ = -1;  // of the last line feed, -1 before the first
  char last_byte_ = '\0';           // the byte before the next one fed
  bool candidate_ = false;          // a line after an empty one is being matched
  std::uint64_t candidate_at_ = 0;
  std::size_t matched_ = 0;         // bytes of "From " matched so far
};

}  // namespace kaldo::tool
