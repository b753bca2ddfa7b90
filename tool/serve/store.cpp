// The store: a commit queue whose writing thread owns the database. After
// a failed commit the connection is dropped and opened again, no sooner
// than a backoff that doubles while the database stays away; until then
// batches are answered "not committed" at once, so that a sender hears of
// it well within its wait.
#include "tool/serve/store.h"

#include <cpl_conv.h>

#include <future>
#include <mutex>

#include "tool/outputs/ogr_session.h"
#include "tool/serve/commit_queue.h"
#include "tool/serve/store_dataset.h"
#include "tool/serve/store_writer.h"

namespace kaldo::tool::serve {

const char* to_string(stored_status status) {
  switch (status) {
    case stored_status::converted: return "converted";
    case stored_status::failed: return "failed";
    case stored_status::not_position_report: return "not_position_report";
    case stored_status::no_payload: return "no_payload";
  }
  return "failed";
}

store_result message_store::store(received_message message) {
  std::promise<store_result> answered;
  auto result = answered.get_future();
  submit(std::move(message), [&answered](store_result r) { answered.set_value(std::move(r)); });
  return result.get();
}

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::chrono::milliseconds first_backoff{100};
constexpr std::chrono::milliseconds longest_backoff{2000};

// Who is told of commits: added from any thread, called on the writer's.
class commit_hooks {
 public:
  void add(commit_hook hook) {
    std::lock_guard lock(mutex_);
    hooks_.push_back(std::move(hook));
  }

  void tell(const std::vector<pending_message*>& batch) {
    std::vector<committed_point> points;
    for (const pending_message* p : batch) {
      points.insert(points.end(), p->added.begin(), p->added.end());
    }
    if (points.empty()) return;
    std::lock_guard lock(mutex_);
    for (const commit_hook& hook : hooks_) hook(points);
  }

 private:
  std::mutex mutex_;
  std::vector<commit_hook> hooks_;
};

// What only the writing thread touches.
class store_connection {
 public:
  store_connection(std::string destination, const store_options& options, std::shared_ptr<commit_hooks> hooks)
      : destination_(std::move(destination)),
        century_(options.century),
        hooks_(std::move(hooks)),
        claiming_{options.alert_targets, options.alert_owner} {}

  bool open(std::string* error) {
    // GDAL's PostgreSQL driver would otherwise write the rows of tables it
    // created itself with COPY, whose failures show only at its end.
    CPLSetThreadLocalConfigOption("PG_USE_COPY", "NO");
    messages_ = std::make_unique<gdal_messages>(false);
    store_ = open_store_dataset(destination_, error);
    return store_ != nullptr;
  }

  void close() {
    store_.reset();
    messages_.reset();
  }

  std::size_t write(std::vector<pending_message*>& batch) {
    if (store_ == nullptr && !reconnect(batch)) return 0;
    switch (write_batch(*store_, century_, batch, claiming_)) {
      case batch_outcome::committed:
        backoff_ = first_backoff;
        hooks_->tell(batch);
        return 1;
      case batch_outcome::nothing_to_write: return 0;
      case batch_outcome::failed: break;
    }
    // The connection may be what failed: a new one, at once the first time.
    store_.reset();
    if (!reconnect(batch)) return 0;
    if (batch.size() == 1) return 0;
    // The database answers: one message of the batch may be what it
    // refused. Each alone, so that it holds up no other.
    std::size_t commits = 0;
    for (pending_message* p : batch) {
      std::vector<pending_message*> one{p};
      if (store_ == nullptr && !reconnect(one)) continue;
      const batch_outcome outcome = write_batch(*store_, century_, one, claiming_);
      if (outcome == batch_outcome::committed) {
        ++commits;
        hooks_->tell(one);
      }
      if (outcome == batch_outcome::failed) store_.reset();
    }
    return commits;
  }

 private:
  bool reconnect(std::vector<pending_message*>& batch) {
    const auto now = clock_type::now();
    if (now < retry_at_) {
      fail(batch, "not committed: the store is unavailable (" + last_error_ + ")");
      return false;
    }
    std::string error;
    store_ = open_store_dataset(destination_, &error);
    if (store_ != nullptr) return true;
    last_error_ = error;
    retry_at_ = clock_type::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, longest_backoff);
    fail(batch, "not committed: " + error);
    return false;
  }

  static void fail(std::vector<pending_message*>& batch, const std::string& reason) {
    for (pending_message* p : batch) {
      p->result = store_result{};
      p->result.error = reason;
    }
  }

  std::string destination_;
  int century_;
  std::shared_ptr<commit_hooks> hooks_;
  alert_claiming claiming_;
  std::unique_ptr<gdal_messages> messages_;
  std::unique_ptr<store_dataset> store_;
  std::chrono::milliseconds backoff_ = first_backoff;
  clock_type::time_point retry_at_{};
  std::string last_error_;
};

class ogr_message_store final : public message_store {
 public:
  ogr_message_store(std::unique_ptr<commit_queue> queue, std::shared_ptr<commit_hooks> hooks)
      : queue_(std::move(queue)), hooks_(std::move(hooks)) {}
  ~ogr_message_store() override { close(); }

  void submit(received_message message, std::function<void(store_result)> done) override {
    queue_->submit(std::move(message), std::move(done));
  }
  void close() override { queue_->close(); }
  std::uint64_t commits() const override { return queue_->commits(); }
  void on_commit(commit_hook hook) override { hooks_->add(std::move(hook)); }

 private:
  std::unique_ptr<commit_queue> queue_;
  std::shared_ptr<commit_hooks> hooks_;
};

}  // namespace

std::unique_ptr<message_store> open_message_store(const std::string& destination,
                                                  const store_options& options,
                                                  std::string* error) {
  auto hooks = std::make_shared<commit_hooks>();
  auto connection = std::make_shared<store_connection>(destination, options, hooks);
  auto queue = commit_queue::start(
      options, [connection](std::string* why) { return connection->open(why); },
      [connection](std::vector<pending_message*>& batch) { return connection->write(batch); },
      [connection] { connection->close(); }, error);
  if (queue == nullptr) return nullptr;
  return std::make_unique<ogr_message_store>(std::move(queue), std::move(hooks));
}

}  // namespace kaldo::tool::serve
