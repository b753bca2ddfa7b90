// The receiver's log on the error stream: one line per message taken or
// refused, as text or as JSON lines. What came from the network (peers'
// IMEIs, reasons quoting their bytes) is escaped, so that no sender can
// forge a line of its own. Lines about refused connections are limited to
// a few a second: a flood of junk must not fill the disk.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kaldo::tool::serve {

class serve_metrics;

enum class log_format { text, json };

struct message_log_entry {
  std::string channel;  // "directip", "rockblock", "imap"
  std::string peer;
  std::string imei;
  std::optional<std::uint32_t> momsn;
  // "stored", "duplicate", "not_stored", or the refusal ("refused")
  std::string outcome;
  std::string status;   // the message's status in the store, where it has one
  std::size_t positions_added = 0;
  std::optional<std::chrono::microseconds> commit_time;
  std::string reason;   // why it was refused or not stored; empty otherwise
};

class serve_log {
 public:
  serve_log(log_format format, bool quiet, std::FILE* stream = stderr)
      : format_(format), quiet_(quiet), stream_(stream) {}

  // One message. With --quiet only those not stored are logged.
  void message(const message_log_entry& entry);

  // A connection or request refused before any message was read: at most
  // `refusals_per_second` lines a second, then one line saying how many
  // were left out.
  void refused(std::string_view channel, std::string_view peer, std::string_view reason);

  // The receiver's own news: listening, stopping, the store down.
  void notice(std::string_view text);

  // Every message and refusal logged is also counted there (quiet or not,
  // limited or not).
  void count_into(serve_metrics* metrics) { metrics_ = metrics; }

  static constexpr int refusals_per_second = 10;

 private:
  std::string line_of(const message_log_entry& entry) const;
  void write(const std::string& line);

  log_format format_;
  bool quiet_;
  std::FILE* stream_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point window_start_{};
  int refusals_in_window_ = 0;
  std::uint64_t refusals_left_out_ = 0;
  serve_metrics* metrics_ = nullptr;
};

// Bytes from the network as printable text: valid UTF-8 with control
// characters (line ends among them) written as \xNN.
std::string escaped_for_log(std::string_view bytes);

}  // namespace kaldo::tool::serve
