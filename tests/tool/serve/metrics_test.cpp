#include "tool/serve/metrics.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/tool/serve/recording_exchange.h"

namespace kaldo::tool::serve {
namespace {

using namespace std::chrono_literals;

message_log_entry entry(const char* channel, const char* outcome, std::size_t positions = 0,
                        std::optional<std::chrono::microseconds> commit = std::nullopt) {
  message_log_entry e;
  e.channel = channel;
  e.outcome = outcome;
  e.positions_added = positions;
  e.commit_time = commit;
  return e;
}

TEST(Metrics, CountsWhatTheLogSeesAndTellsHealth) {
  serve_metrics metrics;
  std::FILE* sink = std::fopen("/dev/null", "w");
  serve_log log(log_format::text, true, sink);
  log.count_into(&metrics);
  metrics.count_connections_with([] { return std::size_t{3}; });
  const struct {
    const char* name;
    message_log_entry message;
    bool committing_after;
  } steps[] = {
      {"stored with two positions", entry("directip", "stored", 2, 3000us), true},
      {"stored again", entry("directip", "duplicate", 0, 1500us), true},
      {"the store fails", entry("rockblock", "not_stored"), false},
      {"and commits again", entry("rockblock", "stored", 1, 40000us), true},
      {"fails last", entry("directip", "not_stored"), false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    log.message(step.message);
    EXPECT_EQ(metrics.committing(), step.committing_after);
    auto health = std::make_shared<testing::recording_exchange>();
    health_route(metrics).handler(testing::get_request("/healthz"), health);
    EXPECT_EQ(health->wait()->status, step.committing_after ? 200 : 503);
  }
  // Past the log's rate limit, refusals are still all counted.
  for (int i = 0; i < 3 * serve_log::refusals_per_second; ++i) log.refused("directip", "192.0.2.7:1", "header of 27 bytes");
  log.refused("rockblock", "192.0.2.7:1", "401 POST /webhooks/rockblock: no token, or not the one set up");
  log.refused("rockblock", "192.0.2.7:1", "too many connections");
  std::fclose(sink);

  auto scraped = std::make_shared<testing::recording_exchange>();
  metrics_route(metrics).handler(testing::get_request("/metrics"), scraped);
  const std::string text = scraped->wait()->body;
  const char* expected[] = {
      "kaldo_messages_received_total{channel=\"directip\"} 3",
      "kaldo_messages_received_total{channel=\"rockblock\"} 2",
      "kaldo_messages_confirmed_total{channel=\"directip\"} 2",
      "kaldo_messages_confirmed_total{channel=\"rockblock\"} 1",
      "kaldo_messages_not_stored_total{channel=\"rockblock\"} 1",
      "kaldo_duplicate_messages_total{channel=\"directip\"} 1",
      "kaldo_positions_added_total 3",
      "kaldo_messages_refused_total{channel=\"directip\",reason=\"bad_message\"} 30",
      "kaldo_messages_refused_total{channel=\"rockblock\",reason=\"http_401\"} 1",
      "kaldo_messages_refused_total{channel=\"rockblock\",reason=\"too_many_connections\"} 1",
      "kaldo_commit_seconds_count 3",
      "kaldo_commit_seconds_bucket{le=\"0.005\"} 2",
      "kaldo_commit_seconds_bucket{le=\"0.05\"} 3",
      "kaldo_open_connections 3",
      "kaldo_event_stream_clients 0",
  };
  for (const char* line : expected) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

}  // namespace
}  // namespace kaldo::tool::serve
