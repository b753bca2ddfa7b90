// Work on many threads, results in input order: items pushed by one
// producer are worked on by `workers` threads, and each result is handed
// to `deliver` in the order its item was pushed, one at a time. The window
// of items pushed but not yet delivered is bounded in count and in bytes,
// so a fast producer waits instead of filling memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kaldo::tool {

template <class In, class Out>
class ordered_pipeline {
 public:
  ordered_pipeline(unsigned workers, std::function<Out(In&)> work,
                   std::function<void(Out&)> deliver, std::size_t max_items = 1024,
                   std::size_t max_bytes = 64u << 20)
      : work_(std::move(work)), deliver_(std::move(deliver)),
        max_items_(max_items), max_bytes_(max_bytes) {
    if (workers == 0) workers = 1;
    for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { run(); });
  }
  ordered_pipeline(const ordered_pipeline&) = delete;
  ordered_pipeline& operator=(const ordered_pipeline&) = delete;
  ~ordered_pipeline() { finish(); }

  // Queues `item`, which weighs `bytes`; waits while the window is full.
  void push(In item, std::size_t bytes) {
    std::unique_lock lock(mutex_);
    producer_waiting_ = true;
    room_.wait(lock, [&] {
      return in_flight_ == 0 || (in_flight_ < max_items_ && bytes_in_flight_ + bytes <= max_bytes_);
    });
    producer_waiting_ = false;
    ++in_flight_;
    bytes_in_flight_ += bytes;
    queue_.push_back({next_pushed_++, bytes, std::move(item)});
    // Waking a sleeping worker per item costs two context switches, more
    // than a small item's work: sleepers are woken for a batch, and look
    // on their own every few milliseconds.
    if (idle_ > 0 && queue_.size() >= wake_batch) work_ready_.notify_one();
  }

  // Waits until every item is delivered and stops the workers.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  struct queued {
    std::uint64_t number;
    std::size_t bytes;
    In item;
  };
  struct finished {
    std::size_t bytes;
    Out result;
  };

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      while (!closed_ && queue_.empty()) work_ready_.wait_for(lock, std::chrono::milliseconds(2));
      --idle_;
      if (queue_.empty()) return;
      queued job = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      Out result = work_(job.item);
      lock.lock();
      done_.emplace(job.number, finished{job.bytes, std::move(result)});
      if (delivering_) continue;
      // One thread delivers at a time; results finished meanwhile by
      // others are picked up by the same loop.
      delivering_ = true;
      while (!done_.empty() && done_.begin()->first == next_delivered_) {
        finished next = std::move(done_.begin()->second);
        done_.erase(done_.begin());
        lock.unlock();
        deliver_(next.result);
        lock.lock();
        ++next_delivered_;
        --in_flight_;
        bytes_in_flight_ -= next.bytes;
        if (producer_waiting_) room_.notify_one();
      }
      delivering_ = false;
    }
  }

  std::function<Out(In&)> work_;
  std::function<void(Out&)> deliver_;
  const std::size_t max_items_;
  const std::size_t max_bytes_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable room_;
  std::deque<queued> queue_;
  std::map<std::uint64_t, finished> done_;
  std::uint64_t next_pushed_ = 0;
  std::uint64_t next_delivered_ = 0;
  std::size_t in_flight_ = 0;
  std::size_t bytes_in_flight_ = 0;
  bool delivering_ = false;
  bool producer_waiting_ = false;
  unsigned idle_ = 0;  // workers waiting for work
  static constexpr std::size_t wake_batch = 32;
  bool closed_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace kaldo::tool
