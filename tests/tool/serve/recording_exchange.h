// An http_exchange that keeps the answer, for calling route handlers
// without a socket; wait() blocks until a handler on another thread answers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "tool/serve/http_routes.h"

namespace kaldo::tool::serve::testing {

class recording_exchange final : public http_exchange {
 public:
  void answer(http_answer answer) override {
    std::lock_guard lock(mutex_);
    if (!answer_) answer_ = std::move(answer);
    answered_.notify_all();
  }
  void open_stream(http_answer head, std::size_t) override { answer(std::move(head)); }
  bool send(std::string) override { return false; }
  void end() override {}
  bool open() const override { return false; }

  std::optional<http_answer> wait(std::chrono::milliseconds patience = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    answered_.wait_for(lock, patience, [&] { return answer_.has_value(); });
    return answer_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  std::optional<http_answer> answer_;
};

// A GET of `target` as a peer on this machine (or not) sends it.
inline http_request get_request(const std::string& target, bool from_loopback = true) {
  http_request request;
  request.method = "GET";
  request.target = target;
  request.path = target.substr(0, target.find('?'));
  request.peer = from_loopback ? "127.0.0.1:40000" : "192.0.2.7:40000";
  request.from_loopback = from_loopback;
  request.headers["host"] = "kaldo.test:8080";
  return request;
}

inline std::optional<std::string> header_of(const http_answer& answer, const std::string& name) {
  for (const auto& [key, value] : answer.headers) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace kaldo::tool::serve::testing
