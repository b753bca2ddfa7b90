#include "tool/serve/metrics.h"

#include <cctype>
#include <cstdio>

namespace kaldo::tool::serve {

namespace {

// A label's value in the exposition text: backslash, quote and line end
// escaped. Channels and kinds are our own words, but cheap to be sure.
std::string label_value(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

struct family_text {
  std::string& out;
  void head(const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void sample(const char* name, const std::string& labels, double value) {
    out += name + (labels.empty() ? std::string() : "{" + labels + "}") + " " + number(value) + "\n";
  }
};

}  // namespace

void serve_metrics::message(const message_log_entry& entry) {
  if (entry.outcome == "refused") {
    refused(entry.channel, entry.reason);
    return;
  }
  const std::pair<std::string, std::string> channel{entry.channel, ""};
  std::lock_guard lock(mutex_);
  ++counts_.received[channel];
  if (entry.outcome == "stored" || entry.outcome == "duplicate") {
    ++counts_.confirmed[channel];
    if (entry.outcome == "duplicate") ++counts_.duplicates[channel];
    positions_ += entry.positions_added;
    committing_ = true;
  } else if (entry.outcome == "not_stored") {
    ++counts_.not_stored[channel];
    committing_ = false;
  }
  if (entry.commit_time && entry.outcome != "not_stored") {
    const double seconds = std::chrono::duration<double>(*entry.commit_time).count();
    ++commits_observed_;
    commit_seconds_sum_ += seconds;
    for (std::size_t i = 0; i < commit_bounds.size(); ++i) {
      if (seconds <= commit_bounds[i]) {
        ++commit_buckets_[i];
        break;
      }
    }
  }
}

void serve_metrics::refused(std::string_view channel, std::string_view reason) {
  std::lock_guard lock(mutex_);
  ++counts_.refused[{std::string(channel), refusal_kind(reason)}];
}

void serve_metrics::count_connections_with(std::function<std::size_t()> open_connections) {
  std::lock_guard lock(mutex_);
  open_connections_ = std::move(open_connections);
}

std::string serve_metrics::text() {
  std::string out;
  family_text family{out};
  std::lock_guard lock(mutex_);
  const struct {
    const char* name;
    const char* help;
    const labelled& values;
  } counters[] = {
      {"kaldo_messages_received_total", "Messages read whole, by channel", counts_.received},
      {"kaldo_messages_confirmed_total", "Messages confirmed once stored (duplicates included), by channel",
       counts_.confirmed},
      {"kaldo_messages_not_stored_total", "Messages the store could not commit (sent again), by channel",
       counts_.not_stored},
      {"kaldo_duplicate_messages_total", "Messages delivered again and stored once, by channel", counts_.duplicates},
      {"kaldo_messages_refused_total", "Connections and requests refused, by channel and kind", counts_.refused},
  };
  for (const auto& counter : counters) {
    family.head(counter.name, "counter", counter.help);
    for (const auto& [labels, value] : counter.values) {
      std::string text = "channel=\"" + label_value(labels.first) + "\"";
      if (!labels.second.empty()) text += ",reason=\"" + label_value(labels.second) + "\"";
      family.sample(counter.name, text, static_cast<double>(value));
    }
  }
  family.head("kaldo_positions_added_total", "counter", "Distinct positions added to the store");
  family.sample("kaldo_positions_added_total", "", static_cast<double>(positions_));
  family.head("kaldo_commit_seconds", "histogram", "From a message's arrival at the store to its durable commit");
  std::uint64_t cumulated = 0;
  for (std::size_t i = 0; i < commit_bounds.size(); ++i) {
    cumulated += commit_buckets_[i];
    family.sample("kaldo_commit_seconds_bucket", "le=\"" + number(commit_bounds[i]) + "\"", static_cast<double>(cumulated));
  }
  family.sample("kaldo_commit_seconds_bucket", "le=\"+Inf\"", static_cast<double>(commits_observed_));
  family.sample("kaldo_commit_seconds_sum", "", commit_seconds_sum_);
  family.sample("kaldo_commit_seconds_count", "", static_cast<double>(commits_observed_));
  family.head("kaldo_open_connections", "gauge", "Connections the listeners hold");
  family.sample("kaldo_open_connections", "", open_connections_ ? static_cast<double>(open_connections_()) : 0);
  family.head("kaldo_event_stream_clients", "gauge", "Clients of /events connected");
  family.sample("kaldo_event_stream_clients", "", static_cast<double>(event_clients_.load()));
  family.head("kaldo_store_committing", "gauge", "1 while the store's last commit succeeded");
  family.sample("kaldo_store_committing", "", committing_ ? 1 : 0);
  return out;
}

std::string refusal_kind(std::string_view reason) {
  static const struct {
    std::string_view starts;
    const char* kind;
  } kinds[] = {
      {"not in the allowed networks", "not_allowed"},
      {"too many connections", "too_many_connections"},
  };
  for (const auto& k : kinds) {
    if (reason.substr(0, k.starts.size()) == k.starts) return k.kind;
  }
  // The webhook's refusals start with their HTTP status.
  if (reason.size() >= 4 && std::isdigit(static_cast<unsigned char>(reason[0])) &&
      std::isdigit(static_cast<unsigned char>(reason[1])) && std::isdigit(static_cast<unsigned char>(reason[2])) &&
      reason[3] == ' ') {
    return "http_" + std::string(reason.substr(0, 3));
  }
  return "bad_message";
}

http_route metrics_route(serve_metrics& metrics) {
  return {"/metrics", [&metrics](const http_request&, std::shared_ptr<http_exchange> exchange) {
            exchange->answer({200, "text/plain; version=0.0.4; charset=utf-8", {}, metrics.text()});
          }};
}

http_route health_route(serve_metrics& metrics) {
  return {"/healthz", [&metrics](const http_request&, std::shared_ptr<http_exchange> exchange) {
            if (metrics.committing()) {
              exchange->answer({200, "text/plain; charset=utf-8", {}, "ok: the store commits\n"});
            } else {
              exchange->answer({503, "text/plain; charset=utf-8", {}, "the store's last commit failed\n"});
            }
          }};
}

}  // namespace kaldo::tool::serve
