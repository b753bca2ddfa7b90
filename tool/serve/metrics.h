// What `kaldo serve` has done, for a monitoring system to scrape from
// /metrics: messages received, confirmed and refused by channel (and by
// the kind of refusal), duplicates, positions added, how long commits
// take, open connections, event-stream clients. And /healthz, which says
// whether the store still commits: a load balancer or systemd's watchdog
// takes a receiver whose commits fail out of service.
//
// The counters are fed by the log (every message and refusal passes
// there once), so no listener counts on its own.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <atomic>
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
  serve_metrics();

  // A message taken, as logged.
  void message(const message_log_entry& entry);
  // A connection or request refused before any message was read.
  void refused(std::string_view channel, std::string_view reason);

  // Read when scraped: the connections the listeners hold.
  void count_connections_with(std::function<std::size_t()> open_connections);
  // Event-stream clients connected now.
  prometheus::Gauge& event_stream_clients() { return *event_clients_; }

  // Whether the last commit succeeded (true before any).
  bool committing() const { return committing_; }
  // The exposition text.
  std::string text();

 private:
  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Family<prometheus::Counter>& received_;
  prometheus::Family<prometheus::Counter>& confirmed_;
  prometheus::Family<prometheus::Counter>& not_stored_;
  prometheus::Family<prometheus::Counter>& refused_;
  prometheus::Family<prometheus::Counter>& duplicates_;
  prometheus::Counter* positions_;
  prometheus::Histogram* commit_seconds_;
  prometheus::Gauge* connections_;
  prometheus::Gauge* event_clients_;
  std::mutex mutex_;
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
