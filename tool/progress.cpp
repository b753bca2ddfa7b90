#include "tool/progress.h"

#include <unistd.h>

#include <string>

namespace kaldo::tool {

namespace {

std::string clock_text(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char buffer[32];
  if (whole >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", whole / 60, whole % 60);
  }
  return buffer;
}

}  // namespace

progress_line::progress_line(std::FILE* stream, bool wanted)
    : stream_(stream), shown_(wanted && ::isatty(::fileno(stream)) == 1) {}

void progress_line::set_total_bytes(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  total_bytes_ = bytes;
}

void progress_line::add_total_bytes(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  added_bytes_ += bytes;
}

void progress_line::update(std::uint64_t messages, std::uint64_t failed, std::uint64_t bytes_read) {
  if (!shown_) return;
  std::lock_guard lock(mutex_);
  const clock::time_point now = clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw(messages, failed, bytes_read);
}

std::string progress_text(std::uint64_t messages, std::uint64_t failed, std::uint64_t bytes_read,
                          std::uint64_t total_bytes, double elapsed) {
  const double rate = elapsed > 0 ? static_cast<double>(messages) / elapsed : 0;
  char buffer[256];
  std::string text = std::to_string(messages) + " messages";
  if (failed > 0) text += ", " + std::to_string(failed) + " failed";
  const bool known = total_bytes > 0 && bytes_read <= total_bytes;
  if (known) {
    std::snprintf(buffer, sizeof buffer, ", %.0f%% of %.1f MB read",
                  100.0 * static_cast<double>(bytes_read) / static_cast<double>(total_bytes),
                  static_cast<double>(total_bytes) / 1e6);
    text += buffer;
  }
  std::snprintf(buffer, sizeof buffer, ", %.0f/s, %s elapsed", rate, clock_text(elapsed).c_str());
  text += buffer;
  if (known && bytes_read > 0) {
    text += ", about " +
            clock_text(elapsed * static_cast<double>(total_bytes - bytes_read) / static_cast<double>(bytes_read)) +
            " left";
  }
  return text;
}

void progress_line::draw(std::uint64_t messages, std::uint64_t failed, std::uint64_t bytes_read) {
  const double elapsed = std::chrono::duration<double>(clock::now() - start_).count();
  std::fprintf(stream_, "\r\033[K%s", progress_text(messages, failed, bytes_read, total_bytes_ + added_bytes_, elapsed).c_str());
  std::fflush(stream_);
  drawn_ = true;
}

void progress_line::finish() {
  std::lock_guard lock(mutex_);
  if (drawn_) {
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
    drawn_ = false;
  }
}

}  // namespace kaldo::tool
