// The progress line on a terminal: messages done, their rate, the time
// spent and an estimate of what is left, redrawn in place at most ten
// times a second. Silent when the stream is not a terminal, so logs and
// pipes stay clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kaldo::tool {

class progress_line {
 public:
  // Draws on `stream` when `wanted` and the stream is a terminal.
  progress_line(std::FILE* stream, bool wanted);
  ~progress_line() { finish(); }

  bool shown() const { return shown_; }
  // The bytes the run will read, once known; the estimate needs it.
  void set_total_bytes(std::uint64_t bytes);
  // More bytes to read, made known by a source as it opens (on top of
  // those set above).
  void add_total_bytes(std::uint64_t bytes);
  // The count of messages done, of those that failed, and of input bytes
  // read so far. Safe from any thread; draws only when a tenth of a second
  // has passed.
  void update(std::uint64_t messages, std::uint64_t failed, std::uint64_t bytes_read);
  // Clears the line.
  void finish();

 private:
  void draw(std::uint64_t messages, std::uint64_t failed, std::uint64_t bytes_read);

  using clock = std::chrono::steady_clock;
  std::FILE* stream_;
  bool shown_;
  bool drawn_ = false;
  std::mutex mutex_;
  clock::time_point start_ = clock::now();
  clock::time_point last_draw_{};
  std::uint64_t total_bytes_ = 0;
  std::uint64_t added_bytes_ = 0;
};

// The line's text: "1200 messages, 3 failed, 45% of 2.0 MB read, 800/s,
// 0:01 elapsed, about 0:02 left"; the share and what is left only where
// the total is known.
std::string progress_text(std::uint64_t messages, std::uint64_t failed, std::uint64_t bytes_read,
                          std::uint64_t total_bytes, double elapsed_seconds);

}  // namespace kaldo::tool
