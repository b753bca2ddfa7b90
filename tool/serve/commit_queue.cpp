#include "tool/serve/commit_queue.h"

#include <future>

namespace kaldo::tool::serve {
namespace {

using clock_type = std::chrono::steady_clock;

// A batch is one transaction: beyond this many, the messages after wait for
// the next commit rather than make this one longer than their deadline.
constexpr std::size_t largest_batch = 512;

}  // namespace

store_result commit_queue::not_committed(std::string reason) {
  store_result result;
  result.committed = false;
  result.error = std::move(reason);
  return result;
}

void commit_queue::answer(entry& e, store_result result) {
  // The watchdog and the writer may both come to one message: the first
  // answer is the one its sender gets.
  if (e.answered.exchange(true)) return;
  result.commit_time =
      std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - e.submitted);
  if (e.done) e.done(std::move(result));
}

std::unique_ptr<commit_queue> commit_queue::start(const store_options& options,
                                                  std::function<bool(std::string*)> setup,
                                                  batch_writer write,
                                                  std::function<void()> teardown,
                                                  std::string* error) {
  std::unique_ptr<commit_queue> queue(new commit_queue(options));
  std::promise<std::string> ready;
  auto opened = ready.get_future();
  queue->writer_ = std::thread([q = queue.get(), setup = std::move(setup), write = std::move(write),
                                teardown = std::move(teardown), &ready]() mutable {
    std::string why;
    if (!setup(&why)) {
      teardown();
      ready.set_value(why.empty() ? std::string("cannot open the store") : why);
      return;
    }
    ready.set_value(std::string());
    q->write_loop(std::move(write));
    teardown();
    std::lock_guard lock(q->mutex_);
    q->writer_done_ = true;
    q->watch_wake_.notify_all();
  });
  *error = opened.get();
  if (!error->empty()) {
    queue->writer_.join();
    return nullptr;
  }
  queue->watchdog_ = std::thread([q = queue.get()] { q->watch_loop(); });
  return queue;
}

commit_queue::~commit_queue() { close(); }

void commit_queue::submit(received_message message, std::function<void(store_result)> done) {
  auto e = std::make_shared<entry>();
  e->pending.message = std::move(message);
  e->done = std::move(done);
  e->submitted = clock_type::now();
  e->deadline = e->submitted + options_.answer_within;
  {
    std::lock_guard lock(mutex_);
    if (!closing_) {
      queue_.push_back(std::move(e));
      arrived_.notify_one();
      return;
    }
  }
  answer(*e, not_committed("the store is closing"));
}

void commit_queue::close() {
  {
    std::lock_guard lock(mutex_);
    if (closing_ && !writer_.joinable() && !watchdog_.joinable()) return;
    closing_ = true;
  }
  arrived_.notify_all();
  watch_wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  if (watchdog_.joinable()) watchdog_.join();
  // The writer drains the queue before it stops; whatever is left had no
  // store to go to.
  std::deque<entry_ptr> left;
  {
    std::lock_guard lock(mutex_);
    left.swap(queue_);
  }
  for (auto& e : left) answer(*e, not_committed("the store is closed"));
}

void commit_queue::write_loop(batch_writer write) {
  std::size_t last_batch = 0;
  for (;;) {
    std::vector<entry_ptr> batch;
    {
      std::unique_lock lock(mutex_);
      arrived_.wait(lock, [&] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;  // closing, and all answered
      // A lone sender gets its commit at once; when messages came together
      // last time, more are likely on their way and worth the wait. It
      // lasts while they keep coming: the first quiet step ends it.
      if (last_batch > 1 && !closing_) {
        const auto until = clock_type::now() + options_.gather;
        const auto step = options_.gather / 8;
        auto full = [&] { return closing_ || queue_.size() >= largest_batch; };
        for (std::size_t seen = queue_.size(); !full();) {
          arrived_.wait_until(lock, std::min(clock_type::now() + step, until), full);
          if (queue_.size() == seen || clock_type::now() >= until) break;
          seen = queue_.size();
        }
      }
      while (!queue_.empty() && batch.size() < largest_batch) {
        entry_ptr e = std::move(queue_.front());
        queue_.pop_front();
        // Answered by the watchdog already: its sender has moved on and
        // will send it again.
        if (!e->answered.load()) batch.push_back(std::move(e));
      }
      writing_ = batch;
    }
    last_batch = batch.size();
    if (batch.empty()) continue;
    std::vector<pending_message*> pending;
    pending.reserve(batch.size());
    for (auto& e : batch) pending.push_back(&e->pending);
    commits_.fetch_add(write(pending));
    {
      std::lock_guard lock(mutex_);
      writing_.clear();
    }
    for (auto& e : batch) answer(*e, std::move(e->pending.result));
  }
}

void commit_queue::watch_loop() {
  // A tenth of the allowed wait: a late answer is late by that much at most.
  const auto period = std::max<std::chrono::milliseconds>(
      std::chrono::milliseconds(10), options_.answer_within / 10);
  std::unique_lock lock(mutex_);
  for (;;) {
    watch_wake_.wait_for(lock, period);
    std::vector<entry_ptr> late;
    const auto now = clock_type::now();
    for (const auto& e : queue_) {
      if (e->deadline <= now && !e->answered.load()) late.push_back(e);
    }
    for (const auto& e : writing_) {
      if (e->deadline <= now && !e->answered.load()) late.push_back(e);
    }
    lock.unlock();
    for (auto& e : late) {
      answer(*e, not_committed("the store did not commit within " +
                               std::to_string(options_.answer_within.count()) + " ms"));
    }
    lock.lock();
    // While closing, the watchdog stays until the writer has drained: a
    // database that hangs must not hold the last callers either.
    if (writer_done_) return;
  }
}

}  // namespace kaldo::tool::serve
