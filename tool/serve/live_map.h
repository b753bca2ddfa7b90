// The live map at `/`: the page `kaldo tracks -o fleet.html` writes, made
// from the store when asked for and following /events from the last event
// it holds. `?unit=ID` shows one unit; `?token=` is passed on by the page
// to its own requests.
//
// Pages are made one at a time on a thread of their own with a connection
// of its own: a large store takes a while to read, and neither the
// listeners nor the event streams wait for it.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tool/serve/http_routes.h"
#include "tool/serve/position_events.h"

namespace kaldo::tool::serve {

class live_map {
 public:
  // Empty with the reason when the store cannot be read.
  static std::unique_ptr<live_map> start(const std::string& destination, std::string* error);
  ~live_map();
  live_map(const live_map&) = delete;
  live_map& operator=(const live_map&) = delete;

  // The route of `/`.
  http_route route();

 private:
  struct request {
    std::string unit;
    std::shared_ptr<http_exchange> exchange;
  };
  explicit live_map(std::unique_ptr<position_event_reader> reader) : reader_(std::move(reader)) {}
  void run();
  http_answer page(const std::string& unit);

  std::unique_ptr<position_event_reader> reader_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<request> waiting_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace kaldo::tool::serve
