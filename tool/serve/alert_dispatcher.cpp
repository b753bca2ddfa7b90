#include "tool/serve/alert_dispatcher.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tool/outputs/ogr_session.h"
#include "tool/serve/alert_claims.h"
#include "tool/serve/alert_message.h"
#include "tool/serve/alert_post.h"
#include "tool/serve/alert_program.h"
#include "tool/serve/store_dataset.h"
#include "tool/utc_text.h"

namespace kaldo::tool::serve {
namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;


claimed_alert claim_of(const track_point& point) {
  claimed_alert a;
  a.key = alert_key(point);
  a.modem_id = point.modem_id;
  a.time = utc_iso8601(point.position.time);
  a.latitude = point.position.latitude;
  a.longitude = point.position.longitude;
  a.body = alert_json(point);
  a.claimed_at = utc_iso8601(
      std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now()));
  return a;
}

}  // namespace

std::vector<std::string> alert_targets(const alert_settings& settings) {
  std::vector<std::string> targets;
  if (!settings.program.empty()) targets.push_back("program");
  if (!settings.url.empty()) targets.push_back("url");
  return targets;
}

class alert_dispatcher::target_worker {
 public:
  target_worker(std::string target, const alert_settings& settings, serve_log& log)
      : target_(std::move(target)), settings_(settings), log_(log) {
    thread_ = std::thread([this] { run(); });
  }

  ~target_worker() { stop(0ms); }

  void add(const claimed_alert& alert) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    fresh_.push_back(alert);
    wake_.notify_all();
  }

  void stop(std::chrono::milliseconds grace) {
    {
      std::lock_guard lock(mutex_);
      if (!stopping_) {
        stopping_ = true;
        cut_off_ = clock_type::now() + grace;
      }
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct job {
    claimed_alert alert;
    clock_type::time_point due;
  };

  void run() {
    gdal_messages quiet(false);
    std::unique_ptr<store_dataset> store;
    std::unique_ptr<alert_ledger> ledger;
    auto next_scan = clock_type::now();
    int open_failures = 0;
    for (;;) {
      std::vector<claimed_alert> fresh;
      {
        std::unique_lock lock(mutex_);
        auto until = next_scan;
        for (const auto& [key, j] : jobs_) until = std::min(until, j.due);
        wake_.wait_until(lock, until, [&] { return stopping_ || !fresh_.empty(); });
        if (stopping_) break;
        fresh.swap(fresh_);
      }
      for (claimed_alert& a : fresh) {
        if (!jobs_.contains(a.key) && !finished_.contains(a.key)) {
          a.target = target_;
          jobs_.emplace(a.key, job{std::move(a), clock_type::now()});
        }
      }
      if (ledger == nullptr && clock_type::now() >= next_scan) {
        std::string error;
        store = open_store_dataset(settings_.destination, &error);
        if (store == nullptr) {
          log_.notice("alerts (" + target_ + "): cannot open the store: " + error);
          next_scan = clock_type::now() + alert_backoff(++open_failures);
        } else {
          open_failures = 0;
          ledger = std::make_unique<alert_ledger>(*store->dataset, store->postgres, target_,
                                                  settings_.owner);
        }
      }
      if (ledger != nullptr && clock_type::now() >= next_scan) {
        scan(*ledger);
        next_scan = clock_type::now() + settings_.scan_every;
      }
      attempt_due(ledger.get());
    }
    if (ledger != nullptr) {
      std::string error;
      if (!ledger->release(&error)) log_.notice("alerts (" + target_ + "): " + error);
    }
  }

  void scan(alert_ledger& ledger) {
    std::string error;
    if (!ledger.renew(unix_now(), &error)) {
      log_.notice("alerts (" + target_ + "): cannot renew the claims: " + error);
      return;
    }
    for (claimed_alert& a : ledger.take_over(unix_now(), &error)) {
      if (jobs_.contains(a.key) || finished_.contains(a.key)) continue;
      if (!a.taken_from.empty()) {
        log_.notice("alerts (" + target_ + "): taking over the alert of " + a.modem_id + " at " +
                    a.time + " from " + a.taken_from);
      }
      jobs_.emplace(a.key, job{std::move(a), clock_type::now()});
    }
    if (!error.empty()) log_.notice("alerts (" + target_ + "): " + error);
  }

  void attempt_due(alert_ledger* ledger) {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (it->second.due > clock_type::now()) {
        ++it;
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      claimed_alert& a = it->second.alert;
      const std::string what = target_ + " alert of " + a.modem_id + " at " + a.time;
      const auto give_up = [this] {
        std::lock_guard lock(mutex_);
        return stopping_ && clock_type::now() >= cut_off_;
      };
      std::string failure;
      if (target_ == "program") {
        const program_outcome outcome = run_alert_program(
            settings_.program, a.body, alert_environment(a.modem_id, a.time, a.latitude, a.longitude),
            settings_.program_timeout, give_up);
        if (!outcome.succeeded) failure = outcome.error;
      } else {
        const post_outcome outcome = post_alert(settings_.url, a.body, idempotency_key(a.key),
                                                settings_.post_timeout, give_up);
        if (!outcome.delivered) failure = outcome.error;
      }
      ++a.attempts;
      std::string error;
      if (failure.empty()) {
        log_.notice(what + ": sent (attempt " + std::to_string(a.attempts) + ")");
        if (ledger == nullptr || !ledger->mark_sent(a.key, a.attempts, &error)) {
          log_.notice(what + ": sent, but not marked so in the store: " + error);
        }
        finished_.insert(a.key);
        it = jobs_.erase(it);
        continue;
      }
      const auto claimed = parse_iso8601(a.claimed_at);
      const auto now = std::chrono::system_clock::now();
      const bool last = claimed && now >= *claimed + settings_.keep_trying;
      const auto wait = alert_backoff(a.attempts);
      log_.notice(what + ": attempt " + std::to_string(a.attempts) + " failed: " +
                  failure +
                  (last ? "; given up after trying for " +
                              std::to_string(settings_.keep_trying.count()) + " s"
                        : "; next in " + std::to_string(wait.count()) + " s"));
      if (ledger != nullptr && !ledger->mark_failed(a.key, a.attempts, failure, last, &error)) {
        log_.notice(what + ": cannot record the attempt: " + error);
      }
      if (last) {
        finished_.insert(a.key);
        it = jobs_.erase(it);
        continue;
      }
      it->second.due = clock_type::now() + wait;
      ++it;
    }
  }

  std::string target_;
  const alert_settings& settings_;
  serve_log& log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<claimed_alert> fresh_;  // handed over by committed()
  bool stopping_ = false;
  clock_type::time_point cut_off_{};
  // Only the worker's thread touches these.
  std::map<std::string, job> jobs_;
  std::set<std::string> finished_;
  std::thread thread_;
};

alert_dispatcher::alert_dispatcher(alert_settings settings, serve_log& log)
    : settings_(std::move(settings)) {
  for (const std::string& target : alert_targets(settings_)) {
    workers_.push_back(std::make_unique<target_worker>(target, settings_, log));
  }
}

alert_dispatcher::~alert_dispatcher() { stop(0ms); }

void alert_dispatcher::committed(const std::vector<track_point>& added) {
  for (const track_point& point : added) {
    if (!point.position.emergency) continue;
    const claimed_alert alert = claim_of(point);
    for (auto& worker : workers_) worker->add(alert);
  }
}

void alert_dispatcher::stop(std::chrono::milliseconds grace) {
  // Every worker is told first, so that they wind down together.
  std::vector<std::thread> stopping;
  for (auto& worker : workers_) {
    stopping.emplace_back([&worker, grace] { worker->stop(grace); });
  }
  for (auto& t : stopping) t.join();
  workers_.clear();
}

}  // namespace kaldo::tool::serve
