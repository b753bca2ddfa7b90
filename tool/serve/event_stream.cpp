#include "tool/serve/event_stream.h"

#include <algorithm>
#include <charconv>

#include "tool/outputs/map_page.h"
#include "tool/serve/webhook.h"

namespace kaldo::tool::serve {
namespace {

using clock_type = std::chrono::steady_clock;

// Events read from the store in one go while following it.
constexpr std::size_t events_per_read = 1000;

std::optional<std::int64_t> event_id(std::string_view text) {
  std::int64_t id = 0;
  const char* end = text.data() + text.size();
  const auto [at, failure] = std::from_chars(text.data(), end, id);
  if (failure != std::errc() || at != end || id < 0) return std::nullopt;
  return id;
}

std::string block(const char* name, std::int64_t id, const std::string& data) {
  return "id: " + std::to_string(id) + "\nevent: " + name + "\ndata: " + data + "\n\n";
}

}  // namespace

std::string sse_position_event(const position_event& event) {
  // The Feature is one line: JSON strings hold their line ends escaped.
  const std::string feature = point_feature_json(event.point, true, event.position_fid);
  std::string text;
  if (event.point.position.emergency) text = block("emergency", event.id, feature);
  return text + block("position", event.id, feature);
}

std::string sse_reset_event(std::int64_t latest) { return block("reset", latest, "{}"); }

std::string sse_keep_alive() { return ": keep-alive\n\n"; }

std::optional<std::int64_t> resume_after(const http_request& request) {
  if (const std::string& last = request.header("last-event-id"); !last.empty()) {
    // An id this stream never sent (another server's): start afresh.
    return event_id(last).value_or(-1);
  }
  if (const auto after = query_parameter(request.target, "after")) {
    return event_id(*after).value_or(-1);
  }
  return std::nullopt;
}

std::unique_ptr<event_stream> event_stream::start(const std::string& destination, message_store& store,
                                                  event_stream_settings settings, std::string* error) {
  auto reader = position_event_reader::open(destination, error);
  if (!reader) return nullptr;
  const auto latest = reader->latest(error);
  if (!latest) return nullptr;
  std::unique_ptr<event_stream> stream(new event_stream(std::move(reader), *latest, settings));
  store.on_commit([signal = std::weak_ptr<wake_signal>(stream->signal_)](const std::vector<committed_point>&) {
    if (auto s = signal.lock()) {
      std::lock_guard lock(s->mutex);
      s->poked = true;
      s->wake.notify_one();
    }
  });
  stream->thread_ = std::thread([s = stream.get()] { s->run(); });
  return stream;
}

event_stream::event_stream(std::unique_ptr<position_event_reader> reader, std::int64_t latest,
                           event_stream_settings settings)
    : reader_(std::move(reader)), last_(latest), settings_(settings),
      signal_(std::make_shared<wake_signal>()) {}

event_stream::~event_stream() {
  {
    std::lock_guard lock(signal_->mutex);
    stopping_ = true;
    signal_->wake.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  for (client& c : clients_) c.exchange->end();
  for (client& c : joining_) c.exchange->end();
}

http_route event_stream::route() {
  return {"/events", [this](const http_request& request, std::shared_ptr<http_exchange> exchange) {
            http_answer head{200, "text/event-stream; charset=utf-8",
                             {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}}, ""};
            exchange->open_stream(std::move(head), settings_.most_pending_bytes);
            client c{std::move(exchange), resume_after(request),
                     query_parameter(request.target, "unit").value_or(""), clock_type::now()};
            join(std::move(c));
          }};
}

std::size_t event_stream::clients() const { return client_count_.load(); }

void event_stream::join(client c) {
  std::lock_guard lock(signal_->mutex);
  if (stopping_) {
    c.exchange->end();
    return;
  }
  joining_.push_back(std::move(c));
  signal_->wake.notify_one();
}

void event_stream::broadcast(const std::vector<position_event>& events) {
  for (const position_event& event : events) {
    const std::string text = sse_position_event(event);
    for (client& c : clients_) {
      if (!c.unit.empty() && c.unit != event.point.modem_id) continue;
      if (!c.exchange->send(text)) continue;
      c.last_sent = clock_type::now();
    }
  }
}

void event_stream::catch_up(client& c) {
  // A browser reconnects at once and again: a first line says how soon.
  std::string text = "retry: 1000\n\n";
  if (c.after && *c.after < last_) {
    std::string error;
    const auto missed = reader_->catch_up(*c.after, &error);
    if (!missed || missed->reset) {
      text += sse_reset_event(last_);
    } else {
      for (const position_event& event : missed->events) {
        // Later ones go to every client together, from the next read.
        if (event.id > last_) break;
        if (c.unit.empty() || c.unit == event.point.modem_id) text += sse_position_event(event);
      }
    }
  } else if (c.after && *c.after > last_) {
    // An id beyond this store's last: another store's, or one made anew.
    text += sse_reset_event(last_);
  }
  c.exchange->send(std::move(text));
  c.last_sent = clock_type::now();
}

void event_stream::run() {
  std::unique_lock lock(signal_->mutex);
  while (!stopping_) {
    signal_->wake.wait_for(lock, settings_.poll,
                           [&] { return stopping_ || signal_->poked || !joining_.empty(); });
    if (stopping_) break;
    signal_->poked = false;
    std::deque<client> joining;
    joining.swap(joining_);
    lock.unlock();

    if (clients_.empty()) {
      // No one to send events to: those who join need only where the
      // sequence stands, not every event read after every commit.
      std::string error;
      const auto latest = joining.empty() ? std::nullopt : reader_->latest(&error);
      if (latest) last_ = *latest;
    } else {
      for (;;) {
        std::string error;
        const auto read = reader_->read_since(last_, events_per_read, &error);
        if (!read) break;  // the store is away: the next round tries again
        if (read->reset) {
          // The sequence went backwards (the store was made anew): every
          // client starts afresh.
          for (client& c : clients_) c.exchange->send(sse_reset_event(read->latest));
          last_ = read->latest;
          break;
        }
        broadcast(read->events);
        last_ = read->through;
        if (read->through >= read->latest) break;
      }
    }
    for (client& c : joining) {
      catch_up(c);
      clients_.push_back(std::move(c));
    }
    const auto now = clock_type::now();
    for (client& c : clients_) {
      if (now - c.last_sent >= settings_.keep_alive && c.exchange->send(sse_keep_alive())) {
        c.last_sent = now;
      }
    }
    std::erase_if(clients_, [](const client& c) { return !c.exchange->open(); });
    client_count_.store(clients_.size());
    lock.lock();
  }
}

}  // namespace kaldo::tool::serve
