#include "tool/serve/live_map.h"

#include "tool/fleet_builder.h"
#include "tool/outputs/map_page.h"
#include "tool/serve/webhook.h"

namespace kaldo::tool::serve {
namespace {

// Pages asked for beyond this many at once are refused (503): each one
// holds the whole store in memory while it is made.
constexpr std::size_t most_waiting = 8;

http_answer failure(int status, std::string text) {
  return {status, "text/plain; charset=utf-8", {{"Cache-Control", "no-store"}}, std::move(text) + "\n"};
}

}  // namespace

std::unique_ptr<live_map> live_map::start(const std::string& destination, std::string* error) {
  auto reader = position_event_reader::open(destination, error);
  if (!reader) return nullptr;
  std::unique_ptr<live_map> map(new live_map(std::move(reader)));
  map->thread_ = std::thread([m = map.get()] { m->run(); });
  return map;
}

live_map::~live_map() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (request& r : waiting_) r.exchange->answer(failure(503, "stopping"));
}

http_route live_map::route() {
  return {"/", [this](const http_request& request, std::shared_ptr<http_exchange> exchange) {
            if (request.method != "GET" && request.method != "HEAD") {
              exchange->answer(failure(405, "only GET"));
              return;
            }
            std::lock_guard lock(mutex_);
            if (stopping_ || waiting_.size() >= most_waiting) {
              exchange->answer(failure(503, "busy: try again"));
              return;
            }
            waiting_.push_back({query_parameter(request.target, "unit").value_or(""), std::move(exchange)});
            wake_.notify_one();
          }};
}

http_answer live_map::page(const std::string& unit) {
  std::string error;
  // The last event first: a point committed while the points are read is
  // then both in the page and sent again by /events, never in neither.
  const auto last_event = reader_->latest(&error);
  std::vector<track_point> points;
  if (!last_event ||
      !reader_->read_points(unit.empty() ? std::nullopt : std::optional<std::string>(unit), &points,
                            &error)) {
    return failure(503, "the store cannot be read: " + error);
  }
  fleet_builder builder;
  builder.reserve(points.size());
  for (track_point& point : points) builder.add_stored(std::move(point));
  map_page_options options;
  options.live = live_page_options{"events", *last_event, unit};
  return {200,
          "text/html; charset=utf-8",
          {{"Referrer-Policy", "no-referrer"}, {"Cache-Control", "no-store"}},
          map_page_html(builder.finish(), options)};
}

void live_map::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    request next = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    next.exchange->answer(page(next.unit));
    lock.lock();
  }
}

}  // namespace kaldo::tool::serve
