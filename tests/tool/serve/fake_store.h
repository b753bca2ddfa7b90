// A store for the listeners' tests: it keeps what it is given and answers
// from a thread of its own, as the real one does, committed or not as the
// test says, or never (until closed).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tool/serve/store.h"

namespace kaldo::tool::serve {

class fake_store final : public message_store {
 public:
  enum class answer { committed, not_committed, never };

  fake_store() : worker_([this] { work(); }) {}
  ~fake_store() override { close(); }

  void set_answer(answer a) {
    std::lock_guard lock(mutex_);
    answer_ = a;
  }

  void submit(received_message message, std::function<void(store_result)> done) override {
    std::lock_guard lock(mutex_);
    received_.push_back(message);
    if (closed_) {
      queue_.push_back({std::move(done), answer::not_committed});
    } else if (answer_ == answer::never) {
      held_.push_back(std::move(done));
      return;
    } else {
      queue_.push_back({std::move(done), answer_});
    }
    wake_.notify_one();
  }

  void close() override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = true;
      for (auto& done : held_) queue_.push_back({std::move(done), answer::not_committed});
      held_.clear();
      wake_.notify_one();
    }
    worker_.join();
  }

  std::uint64_t commits() const override { return 0; }

  std::vector<received_message> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  struct pending {
    std::function<void(store_result)> done;
    answer how;
  };

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closed_ || !queue_.empty(); });
      if (queue_.empty()) return;
      pending next = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      store_result result;
      result.committed = next.how == answer::committed;
      result.status = stored_status::converted;
      if (!result.committed) result.error = "the disk is full";
      next.done(result);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<pending> queue_;
  std::vector<std::function<void(store_result)>> held_;
  std::vector<received_message> received_;
  answer answer_ = answer::committed;
  bool closed_ = false;
  std::thread worker_;
};

}  // namespace kaldo::tool::serve
