#include "tool/sources/mbox_cuts.h"

#include <cstring>

namespace kaldo::tool {

namespace {

constexpr char from_line[] = "From ";
constexpr std::size_t from_length = 5;

}  // namespace

// Matches the candidate line against "From " from data[at] on, as far as
// the bytes go; the rest is matched by the next call.
void mbox_cut_finder::match_candidate(const char* data, std::size_t size, std::size_t at,
                                      std::vector<std::uint64_t>& cuts) {
  while (candidate_ && at < size && matched_ < from_length) {
    if (data[at] != from_line[matched_]) {
      candidate_ = false;
      return;
    }
    ++matched_;
    ++at;
  }
  if (candidate_ && matched_ == from_length) {
    cuts.push_back(candidate_at_);
    candidate_ = false;
  }
}

void mbox_cut_finder::feed(const char* data, std::size_t size, std::vector<std::uint64_t>& cuts) {
  match_candidate(data, size, 0, cuts);
  std::size_t at = 0;
  while (at < size) {
    const void* found = std::memchr(data + at, '\n', size - at);
    if (found == nullptr) break;
    const auto q = static_cast<std::size_t>(static_cast<const char*>(found) - data);
    const auto newline = static_cast<std::int64_t>(offset_ + q);
    const char before = q > 0 ? data[q - 1] : last_byte_;
    // The line that ends here is empty, or holds only the CR of a CR LF.
    const std::int64_t line = newline - last_newline_ - 1;
    const bool empty = last_newline_ >= 0 && (line == 0 || (line == 1 && before == '\r'));
    last_newline_ = newline;
    if (empty) {
      candidate_ = true;
      candidate_at_ = static_cast<std::uint64_t>(newline) + 1;
      matched_ = 0;
      match_candidate(data, size, q + 1, cuts);
    }
    at = q + 1;
  }
  if (size > 0) last_byte_ = data[size - 1];
  offset_ += size;
}

}  // namespace kaldo::tool
