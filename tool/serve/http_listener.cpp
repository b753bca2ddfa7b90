// The webhook side of `kaldo serve`: providers POST each message to
// /webhooks/rockblock and take a 200 as "stored". The answer waits for the
// store's commit; a body that cannot be taken gets its status at once
// (400 with the reason, 401 without the token or a good signature, 413
// past 64 KB), and a store that cannot commit gets 503, so that the
// provider tries again.
//
// Limits a public port needs: headers of at most 8 KB, every request whole
// within its deadline (a kept-alive connection waits no longer for the
// next), a cap on connections per peer (the budget), and the query string,
// which carries the token, never logged.
//
// With a certificate, the same over TLS: a session is the same code over
// either stream, and only its start (the handshake) and its end (TLS's
// close) differ.
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "tool/serve/allow_list.h"
#include "tool/serve/http_routes.h"
#include "tool/serve/listener.h"
#include "tool/serve/tls_certificate.h"
#include "tool/serve/webhook.h"

namespace kaldo::tool::serve {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

constexpr std::uint32_t max_header_bytes = 8 * 1024;
// A provider sends one message at a time; one address holding more than
// this is a client to be wary of.
constexpr std::size_t max_connections_per_peer = 64;

// Loopback is bounded by --max-connections alone: a reverse proxy on this
// machine brings every viewer of the map from one address, each holding
// an event stream open, and would otherwise shut out the 65th.
std::size_t most_from(const asio::ip::address& peer) {
  return loopback_peer(peer) ? SIZE_MAX : max_connections_per_peer;
}

received_message received_from(const webhook_message& body, const std::string& peer) {
  received_message message;
  message.channel = "rockblock";
  message.imei = body.imei;
  message.momsn = body.momsn;
  message.session_time = body.transmit_time;
  message.received_at = std::chrono::time_point_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now());
  if (!body.payload.empty()) message.payload = body.payload;
  message.iridium_latitude = body.latitude;
  message.iridium_longitude = body.longitude;
  message.iridium_cep_km = body.cep_km;
  message.peer = peer;
  return message;
}

using tls_stream = beast::ssl_stream<beast::tcp_stream>;
constexpr auto handshake_deadline = std::chrono::seconds(10);

class http_listener;
template <class Stream>
class session_exchange;

// What the listener ends when it stops: its sessions' event streams.
class stream_owner {
 public:
  virtual ~stream_owner() = default;
  virtual void end_stream() = 0;
};

template <class Stream>
class http_session : public stream_owner, public std::enable_shared_from_this<http_session<Stream>> {
 public:
  // `tls`: the context a TLS session keeps for its life; null for plain HTTP.
  http_session(std::shared_ptr<http_listener> owner, tcp::socket socket, std::string peer,
               std::shared_ptr<asio::ssl::context> tls);
  ~http_session() override;
  void start();

  // What an http_exchange asks for, on the listeners' thread.
  void answer_route(http_answer answer);
  void open_stream(http_answer head);
  void queue_piece(std::string piece);
  void end_stream() override;

 private:
  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

  void read_request();
  void read_body();
  void handle();
  void handle_route(const http_route& route);
  void take(webhook_message body);
  void respond(http::status status, std::string text);
  void write_response(bool keep_alive);
  void refuse(http::status status, const std::string& reason);
  void write_pieces();
  void watch_client();
  void close();
  void drain();

  std::shared_ptr<http_listener> owner_;
  std::shared_ptr<asio::ssl::context> tls_;
  Stream stream_;
  asio::ip::address address_;
  std::string peer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  asio::steady_timer patience_;
  bool waiting_for_store_ = false;
  // An event stream: its head, the pieces not yet written, and whether a
  // write is under way or the stream is to end once they are.
  std::unique_ptr<http::response<http::empty_body>> stream_head_;
  std::unique_ptr<http::response_serializer<http::empty_body>> stream_serializer_;
  std::deque<std::string> pieces_;
  bool streaming_ = false, writing_ = false, ending_ = false, closing_ = false;
  std::weak_ptr<session_exchange<Stream>> exchange_;
};

// The exchange a route's handler answers through. It keeps its session
// (and so the connection) alive while the handler holds it; every call is
// posted to the listeners' thread, and so is letting go of the session.
template <class Stream>
class session_exchange final : public http_exchange {
 public:
  session_exchange(std::shared_ptr<http_session<Stream>> session, asio::io_context& io)
      : session_(std::move(session)), io_(io) {}
  ~session_exchange() override {
    asio::post(io_, [session = std::move(session_)] {});
  }

  void answer(http_answer answer) override {
    if (used_.exchange(true)) return;
    asio::post(io_, [session = session_, answer = std::move(answer)]() mutable {
      session->answer_route(std::move(answer));
    });
  }
  void open_stream(http_answer head, std::size_t most_pending_bytes) override {
    if (used_.exchange(true)) return;
    most_pending_ = most_pending_bytes;
    streaming_ = true;
    asio::post(io_, [session = session_, head = std::move(head)]() mutable {
      session->open_stream(std::move(head));
    });
  }
  bool send(std::string piece) override {
    if (!open()) return false;
    const std::size_t size = piece.size();
    if (pending_.fetch_add(size) + size > most_pending_) {
      // Fallen behind: the client reconnects and catches up from the store.
      end();
      return false;
    }
    asio::post(io_, [session = session_, piece = std::move(piece)]() mutable {
      session->queue_piece(std::move(piece));
    });
    return true;
  }
  void end() override {
    if (closed_.exchange(true)) return;
    asio::post(io_, [session = session_] { session->end_stream(); });
  }
  bool open() const override { return streaming_ && !closed_; }

  // From the session: `bytes` of what was sent are written; the client left.
  void written(std::size_t bytes) { pending_ -= bytes; }
  void gone() { closed_ = true; }

 private:
  std::shared_ptr<http_session<Stream>> session_;
  asio::io_context& io_;
  std::atomic<bool> used_{false}, closed_{false}, streaming_{false};
  std::atomic<std::size_t> pending_{0};
  std::size_t most_pending_ = 0;
};

class http_listener final : public accepting_listener {
 public:
  http_listener(listener_context context, listener_settings settings, webhook_settings webhook,
                std::vector<http_route> routes)
      : accepting_listener(context, std::move(settings), "rockblock", most_from),
        webhook_(std::move(webhook)),
        routes_(std::move(routes)) {}

  void stop() override {
    accepting_listener::stop();
    stopping_ = true;
    for (const auto& stream : streams_) {
      if (auto session = stream.lock()) session->end_stream();
    }
    streams_.clear();
  }

  const webhook_settings& webhook() const { return webhook_; }
  const std::vector<http_route>& routes() const { return routes_; }
  // Streams are ended when the listener stops: they never end otherwise.
  void streaming(const std::shared_ptr<stream_owner>& session) { streams_.push_back(session); }
  bool stopping() const { return stopping_; }

 protected:
  void start_connection(tcp::socket socket, std::string peer) override {
    auto self = std::static_pointer_cast<http_listener>(shared_from_this());
    if (settings().tls) {
      std::make_shared<http_session<tls_stream>>(std::move(self), std::move(socket), std::move(peer),
                                                 settings().tls->current())
          ->start();
    } else {
      std::make_shared<http_session<beast::tcp_stream>>(std::move(self), std::move(socket), std::move(peer), nullptr)
          ->start();
    }
  }

 private:
  webhook_settings webhook_;
  std::vector<http_route> routes_;
  std::vector<std::weak_ptr<stream_owner>> streams_;
  bool stopping_ = false;
};

template <class Stream>
Stream make_stream(tcp::socket socket, asio::ssl::context* tls) {
  if constexpr (std::is_same_v<Stream, tls_stream>) {
    return Stream(std::move(socket), *tls);
  } else {
    (void)tls;
    return Stream(std::move(socket));
  }
}

template <class Stream>
http_session<Stream>::http_session(std::shared_ptr<http_listener> owner, tcp::socket socket, std::string peer,
                                   std::shared_ptr<asio::ssl::context> tls)
    : owner_(std::move(owner)),
      tls_(std::move(tls)),
      stream_(make_stream<Stream>(std::move(socket), tls_.get())),
      peer_(std::move(peer)),
      patience_(owner_->context().io) {
  error_code ignored;
  address_ = lowest().socket().remote_endpoint(ignored).address();
}

template <class Stream>
http_session<Stream>::~http_session() { owner_->closed(address_); }

template <class Stream>
void http_session<Stream>::start() {
  if constexpr (std::is_same_v<Stream, tls_stream>) {
    lowest().expires_after(std::min<std::chrono::milliseconds>(owner_->settings().read_timeout, handshake_deadline));
    stream_.async_handshake(asio::ssl::stream_base::server, [self = this->shared_from_this()](error_code failed) {
      if (failed) {
        // A client that does not speak TLS, or does not trust us: rate-limited.
        self->owner_->context().log.refused("rockblock", self->peer_, "TLS handshake: " + failed.message());
        self->lowest().close();
        return;
      }
      self->read_request();
    });
  } else {
    read_request();
  }
}

template <class Stream>
void http_session<Stream>::read_request() {
  parser_.emplace();
  parser_->header_limit(max_header_bytes);
  parser_->body_limit(max_webhook_body_bytes);
  // One deadline for the wait and the whole request: a kept-alive
  // connection that says nothing is closed by it too.
  lowest().expires_after(std::min(owner_->settings().read_timeout, owner_->webhook().request_deadline));
  http::async_read_header(stream_, buffer_, *parser_, [self = this->shared_from_this()](error_code failed, std::size_t) {
    if (failed == http::error::end_of_stream || failed == asio::error::eof ||
        (failed && self->buffer_.size() == 0 && failed != beast::error::timeout)) {
      return self->close();
    }
    if (failed == http::error::header_limit) {
      return self->refuse(http::status::request_header_fields_too_large, "headers over 8 KB");
    }
    // A Content-Length over the limit is refused with the headers.
    if (failed == http::error::body_limit) {
      return self->refuse(http::status::payload_too_large, "a body over 64 KB");
    }
    if (failed) {
      if (failed == beast::error::timeout && self->buffer_.size() == 0) return self->close();
      return self->refuse(http::status::bad_request, "no whole request: " + failed.message());
    }
    const auto& request = self->parser_->get();
    const auto length = request.payload_size();
    if (length && *length > max_webhook_body_bytes) {
      return self->refuse(http::status::payload_too_large, "a body over 64 KB");
    }
    if (beast::iequals(request[http::field::expect], "100-continue")) {
      // Clients that ask first send the body only once told to.
      auto go_on = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
      http::async_write(self->stream_, *go_on, [self, go_on](error_code failed, std::size_t) {
        if (failed) return self->close();
        self->read_body();
      });
      return;
    }
    self->read_body();
  });
}

template <class Stream>
void http_session<Stream>::read_body() {
  http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](error_code failed, std::size_t) {
    if (failed == http::error::body_limit) {
      return self->refuse(http::status::payload_too_large, "a body over 64 KB");
    }
    if (failed) return self->refuse(http::status::bad_request, "no whole request: " + failed.message());
    self->handle();
  });
}

template <class Stream>
void http_session<Stream>::handle() {
  const auto& request = parser_->get();
  const std::string_view target = view(request.target());
  const std::string_view path = target.substr(0, target.find('?'));
  if (path != webhook_path) {
    const http_route* route = route_for(owner_->routes(), std::string(path));
    if (route == nullptr) return refuse(http::status::not_found, "no such path");
    return handle_route(*route);
  }
  if (request.method() != http::verb::post) {
    response_.set(http::field::allow, "POST");
    return refuse(http::status::method_not_allowed, "only POST is taken here");
  }
  const webhook_settings& webhook = owner_->webhook();
  if (!webhook.token.empty()) {
    const std::optional<std::string> token = query_parameter(target, "token");
    if (!token || !same_secret(*token, webhook.token)) {
      return refuse(http::status::unauthorized, "no token, or not the one set up");
    }
  }
  auto body = parse_webhook_body(request.body(), view(request[http::field::content_type]));
  if (!body) return refuse(static_cast<http::status>(http_status(body.problem)), body.reason);
  if (!webhook.public_key.empty()) {
    const auto vouched = check_webhook_token(*body.value, webhook.public_key);
    if (!vouched) return refuse(http::status::unauthorized, "token refused: " + vouched.reason);
  }
  take(std::move(*body.value));
}

template <class Stream>
void http_session<Stream>::take(webhook_message body) {
  received_message message = received_from(body, peer_);
  auto& io = owner_->context().io;
  waiting_for_store_ = true;
  // The request's deadline no longer counts: the store's patience does.
  lowest().expires_never();
  patience_.expires_after(owner_->settings().store_patience);
  patience_.async_wait([self = this->shared_from_this()](error_code failed) {
    if (failed || !self->waiting_for_store_) return;
    self->waiting_for_store_ = false;
    self->owner_->context().log.notice("the store did not answer in time for " + self->peer_);
    self->respond(http::status::service_unavailable, "not stored: the store did not answer in time");
  });
  const std::string imei = message.imei;
  const std::uint32_t momsn = message.momsn;
  owner_->context().store.submit(
      std::move(message), [self = this->shared_from_this(), &io, imei, momsn](store_result result) mutable {
        asio::post(io, [self = std::move(self), imei, momsn, result = std::move(result)] {
          self->owner_->context().log.message(
              stored_entry("rockblock", self->peer_, imei, momsn, result, !self->waiting_for_store_));
          if (!self->waiting_for_store_) return;
          self->waiting_for_store_ = false;
          self->patience_.cancel();
          if (result.committed) {
            self->respond(http::status::ok, "stored");
          } else {
            self->respond(http::status::service_unavailable, "not stored: " + result.error);
          }
        });
      });
}

template <class Stream>
void http_session<Stream>::respond(http::status status, std::string text) {
  const auto& request = parser_->get();
  // A request refused before its body was read whole leaves the stream
  // where nothing more can be read from it.
  const bool keep_alive = request.keep_alive() && parser_->is_done() && !owner_->stopping();
  response_.result(status);
  response_.version(request.version() == 10 ? 10 : 11);
  response_.set(http::field::content_type, "text/plain; charset=utf-8");
  response_.body() = std::move(text) + "\n";
  write_response(keep_alive);
}

template <class Stream>
void http_session<Stream>::write_response(bool keep_alive) {
  response_.keep_alive(keep_alive);
  response_.prepare_payload();
  lowest().expires_after(owner_->settings().read_timeout);
  http::async_write(stream_, response_, [self = this->shared_from_this(), keep_alive](error_code failed, std::size_t) {
    if (failed || !keep_alive) return self->close();
    self->response_ = {};
    self->read_request();
  });
}

template <class Stream>
void http_session<Stream>::handle_route(const http_route& route) {
  const auto& message = parser_->get();
  http_request request;
  request.method = std::string(message.method_string());
  request.target = std::string(view(message.target()));
  request.path = request.target.substr(0, request.target.find('?'));
  for (const auto& field : message) {
    std::string name(view(field.name_string()));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request.headers[name] = std::string(view(field.value()));
  }
  request.body = message.body();
  request.peer = peer_;
  request.from_loopback = loopback_peer(address_);
  // The route answers when it can: meanwhile no deadline runs out on it.
  lowest().expires_never();
  auto exchange = std::make_shared<session_exchange<Stream>>(this->shared_from_this(), owner_->context().io);
  exchange_ = exchange;
  route.handler(request, std::move(exchange));
}

template <class Stream>
void http_session<Stream>::answer_route(http_answer answer) {
  if (streaming_) return;
  const auto& request = parser_->get();
  const bool keep_alive = request.keep_alive() && !owner_->stopping();
  response_ = {};
  response_.result(static_cast<http::status>(answer.status));
  response_.version(request.version() == 10 ? 10 : 11);
  response_.set(http::field::content_type, answer.content_type);
  for (const auto& [name, value] : answer.headers) response_.insert(name, value);
  if (request.method() == http::verb::head) {
    response_.content_length(answer.body.size());
    response_.keep_alive(keep_alive);
    lowest().expires_after(owner_->settings().read_timeout);
    http::async_write(stream_, response_, [self = this->shared_from_this(), keep_alive](error_code failed, std::size_t) {
      if (failed || !keep_alive) return self->close();
      self->response_ = {};
      self->read_request();
    });
    return;
  }
  response_.body() = std::move(answer.body);
  write_response(keep_alive);
}

template <class Stream>
void http_session<Stream>::open_stream(http_answer answer) {
  streaming_ = true;
  owner_->streaming(this->shared_from_this());
  if (owner_->stopping()) return end_stream();
  stream_head_ = std::make_unique<http::response<http::empty_body>>(static_cast<http::status>(answer.status),
                                                                    parser_->get().version());
  stream_head_->set(http::field::content_type, answer.content_type);
  for (const auto& [name, value] : answer.headers) stream_head_->insert(name, value);
  stream_head_->chunked(true);
  stream_serializer_ = std::make_unique<http::response_serializer<http::empty_body>>(*stream_head_);
  writing_ = true;
  lowest().expires_never();
  http::async_write_header(stream_, *stream_serializer_, [self = this->shared_from_this()](error_code failed, std::size_t) {
    self->writing_ = false;
    if (failed) return self->close();
    self->watch_client();
    self->write_pieces();
  });
}

template <class Stream>
void http_session<Stream>::watch_client() {
  // A stream's client sends nothing more; a read that ends says it left.
  auto sink = std::make_shared<std::array<char, 512>>();
  stream_.async_read_some(asio::buffer(*sink), [self = this->shared_from_this(), sink](error_code failed, std::size_t) {
    if (failed) {
      if (auto exchange = self->exchange_.lock()) exchange->gone();
      error_code ignored;
      self->lowest().socket().close(ignored);
      return;
    }
    self->watch_client();
  });
}

template <class Stream>
void http_session<Stream>::queue_piece(std::string piece) {
  if (!streaming_ || ending_) return;
  pieces_.push_back(std::move(piece));
  if (!writing_) write_pieces();
}

template <class Stream>
void http_session<Stream>::end_stream() {
  if (!streaming_) {
    // A stream asked to end before it opened, or a plain exchange: close.
    return close();
  }
  ending_ = true;
  if (!writing_) write_pieces();
}

template <class Stream>
void http_session<Stream>::write_pieces() {
  if (pieces_.empty()) {
    if (!ending_) return;
    writing_ = true;
    asio::async_write(stream_, http::make_chunk_last(), [self = this->shared_from_this()](error_code, std::size_t) {
      self->writing_ = false;
      self->close();
    });
    return;
  }
  writing_ = true;
  asio::async_write(stream_, http::make_chunk(asio::buffer(pieces_.front())),
                    [self = this->shared_from_this()](error_code failed, std::size_t) {
                      self->writing_ = false;
                      if (failed) return self->close();
                      if (auto exchange = self->exchange_.lock()) exchange->written(self->pieces_.front().size());
                      self->pieces_.pop_front();
                      self->write_pieces();
                    });
}

template <class Stream>
void http_session<Stream>::refuse(http::status status, const std::string& reason) {
  // The path alone: the query may hold the token.
  std::string what = reason;
  if (parser_ && parser_->is_header_done()) {
    const std::string_view target = view(parser_->get().target());
    what = std::string(parser_->get().method_string()) + " " +
           std::string(target.substr(0, target.find('?'))) + ": " + reason;
  }
  owner_->context().log.refused("rockblock", peer_, std::to_string(static_cast<unsigned>(status)) + " " + what);
  if (!parser_ || !parser_->is_header_done()) {
    // Not even a request line to answer: nothing but closing is sure.
    if (status == http::status::bad_request) return close();
    parser_.emplace();
  }
  respond(status, reason);
}

template <class Stream>
void http_session<Stream>::close() {
  if (auto exchange = exchange_.lock()) exchange->gone();
  // Closing with bytes of the request still unread makes the kernel reset
  // the connection, and a client may then lose the answer sent just before
  // (a 413 for a body it is still sending). So: no more from us, read and
  // drop what still comes, briefly, then close.
  if constexpr (std::is_same_v<Stream, tls_stream>) {
    // TLS says it is closing (close_notify), so that the client knows the
    // answer is whole. An event stream's client is being read from still:
    // it gets the socket closed.
    if (closing_) return;
    closing_ = true;
    if (streaming_) return lowest().close();
    lowest().expires_after(std::chrono::seconds(1));
    stream_.async_shutdown([self = this->shared_from_this()](error_code) { self->lowest().close(); });
  } else {
    // Once is enough; and an event stream has its client's read pending
    // already (watch_client), which ends the connection when the client
    // goes or the second is up: a second read at once is not allowed.
    if (closing_) return;
    closing_ = true;
    error_code ignored;
    lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    lowest().expires_after(std::chrono::seconds(1));
    if (!streaming_) drain();
  }
}

template <class Stream>
void http_session<Stream>::drain() {
  auto sink = std::make_shared<std::array<char, 4096>>();
  lowest().async_read_some(asio::buffer(*sink), [self = this->shared_from_this(), sink](error_code failed, std::size_t) {
    if (failed) {
      self->lowest().close();
      return;
    }
    self->drain();
  });
}

}  // namespace

std::shared_ptr<listener> open_http_listener(listener_context context, listener_settings settings,
                                             webhook_settings webhook, std::vector<http_route> routes,
                                             std::string* error) {
  auto opened = std::make_shared<http_listener>(context, std::move(settings), std::move(webhook),
                                                std::move(routes));
  if (!opened->open(error)) return nullptr;
  return opened;
}

}  // namespace kaldo::tool::serve
