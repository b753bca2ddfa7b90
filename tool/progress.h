// The progress line on a terminal: messages done, their rate, the time
// spent and an estimate of what is left, redrawn in place at most ten
// times a second. Silent when the stream is not a terminal, so logs and
// pipes stay clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace kaldo::tool {

class progress_line {
 public:
  // Draws on `stream` when `wanted` and the stream is a terminal.
  progress_line(std::FILE* stream, bool wanted);
  ~progress_line() { finish(); }

  bool shown() const { return shown_; }
  // The bytes the run will read, once known; the estimate needs it.
  void set_total_bytes(std::uint64_t bytes);
  // The count of messages done and of input bytes read so far. Safe from
  // any thread; draws only when a tenth of a second has passed.
  void update(std::uint64_t messages, std::uint64_t bytes_read);
  // Clears the line.
  void finish();

 private:
  void draw(std::uint64_t messages, std::uint64_t bytes_read);

  using clock = std::chrono::steady_clock;
  std::FILE* stream_;
  bool shown_;
  bool drawn_ = false;
  std::mutex mutex_;
  clock::time_point start_ = clock::now();
  clock::time_point last_draw_{};
  std::uint64_t total_bytes_ = 0;
};

}  // namespace kaldo::tool
