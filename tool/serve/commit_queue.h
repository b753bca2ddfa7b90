// Group commit for the store: callers on many threads submit messages, one
// thread writes whatever has queued up in one transaction and answers each
// caller only after that transaction's commit returned. A sync of the
// database's log costs about the same for one message as for a hundred,
// so messages that arrive together share it.
//
// A second thread keeps the promise of a bounded wait: a message still
// unanswered when its time is up is answered "not committed", even while
// the writing thread hangs in a database that stopped answering. The
// sender then sends it again; if the commit did go through after all, the
// next delivery is a duplicate, confirmed and stored once. Answering
// "committed" is only ever done after the commit.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tool/serve/store.h"

namespace kaldo::tool::serve {

// One message on its way through a commit; the writer fills `result`.
struct pending_message {
  received_message message;
  store_result result;
  // The points its commit added (committed only).
  std::vector<committed_point> added;
};

class commit_queue {
 public:
  // Writes `batch` and sets each result (committed or not, with the
  // reason); returns how many transactions it committed.
  // Runs on the queue's writing thread only.
  using batch_writer = std::function<std::size_t(std::vector<pending_message*>& batch)>;

  // Starts the writing thread, which first runs `setup` (a database is best
  // opened on the thread that uses it); empty with setup's reason in
  // `*error` when it fails. `teardown` runs on that thread last.
  static std::unique_ptr<commit_queue> start(const store_options& options,
                                             std::function<bool(std::string*)> setup,
                                             batch_writer write, std::function<void()> teardown,
                                             std::string* error);
  ~commit_queue();
  commit_queue(const commit_queue&) = delete;
  commit_queue& operator=(const commit_queue&) = delete;

  void submit(received_message message, std::function<void(store_result)> done);
  // Writes what is queued, answers everyone and stops both threads.
  void close();
  std::uint64_t commits() const { return commits_.load(); }

 private:
  struct entry {
    pending_message pending;
    std::function<void(store_result)> done;
    std::chrono::steady_clock::time_point submitted;
    std::chrono::steady_clock::time_point deadline;
    std::atomic<bool> answered{false};
  };
  using entry_ptr = std::shared_ptr<entry>;

  explicit commit_queue(const store_options& options) : options_(options) {}
  static void answer(entry& e, store_result result);
  static store_result not_committed(std::string reason);
  void write_loop(batch_writer write);
  void watch_loop();

  store_options options_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable watch_wake_;
  std::deque<entry_ptr> queue_;
  std::vector<entry_ptr> writing_;  // the batch being written, for the watchdog
  bool closing_ = false;
  bool writer_done_ = false;
  std::atomic<std::uint64_t> commits_{0};
  std::thread writer_;
  std::thread watchdog_;
};

}  // namespace kaldo::tool::serve
