// /events: the store's new points as server-sent events, in the order of
// the store's event sequence (position_events.h), so that every client of
// every `kaldo serve` on one database sees every point, once, in one order.
//
// One thread reads the sequence through a connection of its own: when the
// local store says it committed (at once), and every poll period (for what
// other processes commit). It formats each event once and hands it to
// every client. A client that comes back with Last-Event-ID (or ?after=,
// for a page's first connection) is first sent what it missed, from the
// store; further back than most_events_caught_up it gets `reset` instead.
// A client that falls behind by more than its send buffer is dropped: it
// reconnects and catches up.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tool/serve/http_routes.h"
#include "tool/serve/position_events.h"
#include "tool/serve/store.h"

namespace kaldo::tool::serve {

// The text of one event: `event: position` with the point's Feature, and
// for an emergency report first `event: emergency` with the same Feature.
// Each block carries the event id.
std::string sse_position_event(const position_event& event);
// Tells the client it missed too much: start afresh (a page reloads) from `latest`.
std::string sse_reset_event(std::int64_t latest);
// A comment line: keeps proxies from closing a quiet stream.
std::string sse_keep_alive();

// Where a client resumes: Last-Event-ID when it sent one, else ?after=;
// empty for a client that wants only what comes from now on.
std::optional<std::int64_t> resume_after(const http_request& request);

struct event_stream_settings {
  // How often the store is read for other processes' commits.
  std::chrono::milliseconds poll{50};
  std::chrono::milliseconds keep_alive{15000};
  // A catch-up of most_events_caught_up events must fit, or a client
  // that reconnects would be dropped again by its own catch-up.
  std::size_t most_pending_bytes = 8u << 20;
};

class event_stream {
 public:
  // Reads the store at `destination` and listens to `store`'s commits.
  // Empty with the reason when the store cannot be read.
  static std::unique_ptr<event_stream> start(const std::string& destination, message_store& store,
                                             event_stream_settings settings, std::string* error);
  // Ends every client's stream and stops the thread.
  ~event_stream();
  event_stream(const event_stream&) = delete;
  event_stream& operator=(const event_stream&) = delete;

  // The route of /events.
  http_route route();
  // Clients connected now.
  std::size_t clients() const;

 private:
  struct client {
    std::shared_ptr<http_exchange> exchange;
    std::optional<std::int64_t> after;
    std::string unit;  // empty: every unit
    std::chrono::steady_clock::time_point last_sent;
  };
  // What the store's hook reaches: it may outlive the stream.
  struct wake_signal {
    std::mutex mutex;
    std::condition_variable wake;
    bool poked = false;
  };

  event_stream(std::unique_ptr<position_event_reader> reader, std::int64_t latest,
               event_stream_settings settings);
  void join(client c);
  void run();
  void catch_up(client& c);
  void broadcast(const std::vector<position_event>& events);

  std::unique_ptr<position_event_reader> reader_;
  std::int64_t last_ = 0;  // the last event sent to every client
  event_stream_settings settings_;
  std::shared_ptr<wake_signal> signal_;
  std::deque<client> joining_;  // under signal_->mutex
  bool stopping_ = false;       // under signal_->mutex
  std::vector<client> clients_;  // the thread's own
  std::atomic<std::size_t> client_count_{0};
  std::thread thread_;
};

}  // namespace kaldo::tool::serve
