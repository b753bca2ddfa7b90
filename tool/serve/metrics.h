// What `kaldo serve` has done, for a monitoring system to scrape from
// /metrics (the Prometheus text format): messages received, confirmed and refused by channel (and by
// the kind of refusal), duplicates, positions added, how long commits
// take, open connections, event-stream clients. And /healthz, which says
// whether the store still commits: a load balancer or systemd's watchdog
// takes a receiver whose commits fail out of service.
//
// The counters are fed by the log (every message and refusal passes
// there once), so no listener counts on its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "tool/serve/http_routes.h"
#include "tool/serve/serve_log.h"

namespace kaldo::tool::serve {

class serve_metrics {
 public:

  // A message taken, as logged.
  void message(const message_log_entry& entry);
  // A connection or request refused before any message was read.
  void refused(std::string_view channel, std::string_view reason);

  // Read when scraped: the connections the listeners hold.
  void count_connections_with(std::function<std::size_t()> open_connections);
  // Event-stream clients connected now: up when one connects, down when
  // it leaves.
  std::atomic<std::int64_t>& event_stream_clients() { return event_clients_; }

  // Whether the last commit succeeded (true before any).
  bool committing() const { return committing_; }
  // The exposition text.
  std::string text();

 private:
  // A counter for each channel (and kind of refusal): a handful, made at
  // their first use and kept, so a map under a lock is cheap enough.
  using labelled = std::map<std::pair<std::string, std::string>, std::uint64_t>;
  struct counts {
    labelled received, confirmed, not_stored, duplicates, refused;
  };
  static constexpr std::array<double, 12> commit_bounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                           0.1,   0.25,   0.5,   1,    2.5,   5};

  std::mutex mutex_;
  counts counts_;
  std::array<std::uint64_t, commit_bounds.size()> commit_buckets_{};  // each its own, not cumulated
  std::uint64_t commits_observed_ = 0;
  double commit_seconds_sum_ = 0;
  std::uint64_t positions_ = 0;
  std::atomic<std::int64_t> event_clients_{0};
  std::function<std::size_t()> open_connections_;
  std::atomic<bool> committing_{true};
};

// The label a refusal is counted under: a few kinds, not the reason's
// text, which quotes what peers sent and would make a series of each.
std::string refusal_kind(std::string_view reason);

// GET /metrics and GET /healthz.
http_route metrics_route(serve_metrics& metrics);
http_route health_route(serve_metrics& metrics);

}  // namespace kaldo::tool::serve
