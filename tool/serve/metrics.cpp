#include "tool/serve/metrics.h"

#include <prometheus/text_serializer.h>

#include <cctype>
#include <sstream>

namespace kaldo::tool::serve {

namespace {

prometheus::Family<prometheus::Counter>& counter(prometheus::Registry& registry, const char* name, const char* help) {
  return prometheus::BuildCounter().Name(name).Help(help).Register(registry);
}

}  // namespace

serve_metrics::serve_metrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      received_(counter(*registry_, "kaldo_messages_received_total", "Messages read whole, by channel")),
      confirmed_(counter(*registry_, "kaldo_messages_confirmed_total",
                         "Messages confirmed to their sender once stored (duplicates included), by channel")),
      not_stored_(counter(*registry_, "kaldo_messages_not_stored_total",
                          "Messages the store could not commit (their senders send them again), by channel")),
      refused_(counter(*registry_, "kaldo_messages_refused_total",
                       "Connections and requests refused, by channel and kind of refusal")),
      duplicates_(counter(*registry_, "kaldo_duplicate_messages_total",
                          "Messages delivered again and stored once, by channel")),
      positions_(&counter(*registry_, "kaldo_positions_added_total", "Distinct positions added to the store").Add({})),
      // From a lone synced commit on a fast disk to one past the providers' patience.
      commit_seconds_(&prometheus::BuildHistogram()
                           .Name("kaldo_commit_seconds")
                           .Help("From a message's arrival at the store to its durable commit")
                           .Register(*registry_)
                           .Add({}, prometheus::Histogram::BucketBoundaries{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                                           0.1, 0.25, 0.5, 1, 2.5, 5})),
      connections_(&prometheus::BuildGauge()
                        .Name("kaldo_open_connections")
                        .Help("Connections the listeners hold")
                        .Register(*registry_)
                        .Add({})),
      event_clients_(&prometheus::BuildGauge()
                          .Name("kaldo_event_stream_clients")
                          .Help("Clients of /events connected")
                          .Register(*registry_)
                          .Add({})) {}

void serve_metrics::message(const message_log_entry& entry) {
  const prometheus::Labels channel{{"channel", entry.channel}};
  if (entry.outcome == "refused") {
    refused(entry.channel, entry.reason);
    return;
  }
  received_.Add(channel).Increment();
  if (entry.outcome == "stored" || entry.outcome == "duplicate") {
    confirmed_.Add(channel).Increment();
    if (entry.outcome == "duplicate") duplicates_.Add(channel).Increment();
    positions_->Increment(static_cast<double>(entry.positions_added));
    committing_ = true;
  } else if (entry.outcome == "not_stored") {
    not_stored_.Add(channel).Increment();
    committing_ = false;
  }
  if (entry.commit_time && entry.outcome != "not_stored") {
    commit_seconds_->Observe(std::chrono::duration<double>(*entry.commit_time).count());
  }
}

void serve_metrics::refused(std::string_view channel, std::string_view reason) {
  refused_.Add({{"channel", std::string(channel)}, {"reason", refusal_kind(reason)}}).Increment();
}

void serve_metrics::count_connections_with(std::function<std::size_t()> open_connections) {
  std::lock_guard lock(mutex_);
  open_connections_ = std::move(open_connections);
}

std::string serve_metrics::text() {
  {
    std::lock_guard lock(mutex_);
    if (open_connections_) connections_->Set(static_cast<double>(open_connections_()));
  }
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, registry_->Collect());
  return out.str();
}

std::string refusal_kind(std::string_view reason) {
  static const struct {
    std::string_view starts;
    const char* kind;
  } kinds[] = {
      {"not in the allowed networks", "not_allowed"},
      {"too many connections", "too_many_connections"},
  };
  for (const auto& k : kinds) {
    if (reason.substr(0, k.starts.size()) == k.starts) return k.kind;
  }
  // The webhook's refusals start with their HTTP status.
  if (reason.size() >= 4 && std::isdigit(static_cast<unsigned char>(reason[0])) &&
      std::isdigit(static_cast<unsigned char>(reason[1])) && std::isdigit(static_cast<unsigned char>(reason[2])) &&
      reason[3] == ' ') {
    return "http_" + std::string(reason.substr(0, 3));
  }
  return "bad_message";
}

http_route metrics_route(serve_metrics& metrics) {
  return {"/metrics", [&metrics](const http_request&, std::shared_ptr<http_exchange> exchange) {
            exchange->answer({200, "text/plain; version=0.0.4; charset=utf-8", {}, metrics.text()});
          }};
}

http_route health_route(serve_metrics& metrics) {
  return {"/healthz", [&metrics](const http_request&, std::shared_ptr<http_exchange> exchange) {
            if (metrics.committing()) {
              exchange->answer({200, "text/plain; charset=utf-8", {}, "ok: the store commits\n"});
            } else {
              exchange->answer({503, "text/plain; charset=utf-8", {}, "the store's last commit failed\n"});
            }
          }};
}

}  // namespace kaldo::tool::serve
