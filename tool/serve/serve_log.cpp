#include "tool/serve/serve_log.h"

#include <nlohmann/json.hpp>

#include "tool/display_text.h"
#include "tool/serve/metrics.h"
#include "tool/utc_text.h"

namespace kaldo::tool::serve {

namespace {

std::string milliseconds_text(std::chrono::microseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(time.count()) / 1000.0);
  return text;
}

}  // namespace

std::string escaped_for_log(std::string_view bytes) {
  const std::string text = path_to_utf8(bytes);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

void serve_log::message(const message_log_entry& entry) {
  if (metrics_ != nullptr) metrics_->message(entry);
  if (quiet_ && (entry.outcome == "stored" || entry.outcome == "duplicate")) return;
  write(line_of(entry));
}

std::string serve_log::line_of(const message_log_entry& entry) const {
  std::string line;
  if (format_ == log_format::json) {
    nlohmann::json record = {{"time", utc_now_iso8601()},
                             {"channel", entry.channel},
                             {"peer", escaped_for_log(entry.peer)},
                             {"imei", escaped_for_log(entry.imei)},
                             {"outcome", entry.outcome},
                             {"positions_added", entry.positions_added}};
    if (entry.momsn) record["momsn"] = *entry.momsn;
    if (!entry.status.empty()) record["status"] = entry.status;
    if (entry.commit_time) {
      record["commit_ms"] = static_cast<double>(entry.commit_time->count()) / 1000.0;
    }
    if (!entry.reason.empty()) record["reason"] = escaped_for_log(entry.reason);
    line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } else {
    line = utc_now_iso8601() + " " + entry.channel + " " + escaped_for_log(entry.peer);
    if (!entry.imei.empty()) line += " IMEI " + escaped_for_log(entry.imei);
    if (entry.momsn) line += " MOMSN " + std::to_string(*entry.momsn);
    line += ": " + entry.outcome;
    if (!entry.status.empty()) line += " (" + entry.status + ")";
    if (entry.outcome == "stored") {
      line += ", " + std::to_string(entry.positions_added) + " position" +
              (entry.positions_added == 1 ? "" : "s") + " added";
    }
    if (entry.commit_time) line += ", committed in " + milliseconds_text(*entry.commit_time) + " ms";
    if (!entry.reason.empty()) line += ": " + escaped_for_log(entry.reason);
  }
  return line;
}

void serve_log::refused(std::string_view channel, std::string_view peer, std::string_view reason) {
  if (metrics_ != nullptr) metrics_->refused(channel, reason);
  std::uint64_t left_out = 0;
  {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - window_start_ >= std::chrono::seconds(1)) {
      window_start_ = now;
      refusals_in_window_ = 0;
      left_out = refusals_left_out_;
      refusals_left_out_ = 0;
    }
    if (++refusals_in_window_ > refusals_per_second) {
      ++refusals_left_out_;
      return;
    }
  }
  if (left_out > 0) {
    notice(std::to_string(left_out) + " more refusals were not logged");
  }
  message_log_entry entry;
  entry.channel = std::string(channel);
  entry.peer = std::string(peer);
  entry.outcome = "refused";
  entry.reason = std::string(reason);
  // Refusals are logged even with --quiet: they are what a user looks for.
  write(line_of(entry));
}

void serve_log::notice(std::string_view text) {
  if (format_ == log_format::json) {
    write(nlohmann::json{{"time", utc_now_iso8601()}, {"notice", escaped_for_log(text)}}.dump());
  } else {
    write(utc_now_iso8601() + " " + escaped_for_log(text));
  }
}

void serve_log::write(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fputc('\n', stream_);
  std::fflush(stream_);
}

}  // namespace kaldo::tool::serve
