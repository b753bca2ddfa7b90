// What the listeners of `kaldo serve` share: where they hand messages
// (the store), where they log, the limits they keep, and how they stop.
//
// Each listener runs on one io_context, one thread; the store answers
// from its own thread and the answer is posted back. A listener told to
// stop closes its socket at once; connections waiting for the store still
// get their answer, and stopped() says when the last is gone.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tool/serve/allow_list.h"
#include "tool/serve/connection_budget.h"
#include "tool/serve/http_routes.h"
#include "tool/serve/serve_log.h"
#include "tool/serve/store.h"

namespace kaldo::tool::serve {

class tls_certificate;

struct listener_settings {
  listen_address address;
  allow_list allowed;  // empty: every peer
  // A connection that sends nothing, or less than it announced, is closed
  // after this long.
  std::chrono::milliseconds read_timeout{30000};
  // Longest wait for the store before the sender is told "not stored":
  // under the sender's own patience (5 s for the gateway, 3 s for the
  // providers).
  std::chrono::milliseconds store_patience{4000};
  // HTTPS with this certificate (the --http port only); null: plain HTTP.
  std::shared_ptr<tls_certificate> tls;
};

struct listener_context {
  boost::asio::io_context& io;
  message_store& store;
  serve_log& log;
  connection_budget& budget;
};

class listener {
 public:
  virtual ~listener() = default;
  // The port bound (useful when asked for port 0).
  virtual unsigned short port() const = 0;
  // Stops accepting; connections in flight go on to their end.
  virtual void stop() = 0;
  // Connections still open.
  virtual std::size_t open_connections() const = 0;
};

// What every listener does with its socket: accept; close at once a
// connection from a peer beyond the allow-list or past the budget (logged
// under `channel`); count what is open; stop accepting. A listener derives
// from it and says what becomes of each connection it keeps.
class accepting_listener : public listener, public std::enable_shared_from_this<accepting_listener> {
 public:
  // `most_from` says how many connections one peer may hold.
  accepting_listener(listener_context context, listener_settings settings, std::string channel,
                     std::function<std::size_t(const boost::asio::ip::address& peer)> most_from);

  // Binds, listens and starts accepting; false with the reason in `*error`.
  bool open(std::string* error);

  unsigned short port() const override;
  void stop() override;
  std::size_t open_connections() const override { return open_; }

  listener_context& context() { return context_; }
  const listener_settings& settings() const { return settings_; }
  // A kept connection has closed.
  void closed(const boost::asio::ip::address& peer);

 protected:
  // A connection kept: it counts as open until closed() is called for it.
  virtual void start_connection(boost::asio::ip::tcp::socket socket, std::string peer) = 0;

 private:
  void accept();
  void welcome(boost::asio::ip::tcp::socket socket);

  listener_context context_;
  listener_settings settings_;
  std::string channel_;
  std::function<std::size_t(const boost::asio::ip::address& peer)> most_from_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::size_t open_ = 0;
};

// The log line of a message the store has answered; `told_otherwise`
// when its sender already heard "not stored" (the store took longer than a
// sender waits).
message_log_entry stored_entry(std::string channel, std::string peer, std::string imei, std::uint32_t momsn,
                               const store_result& result, bool told_otherwise);

// Binds and listens on `settings.address`; empty, with the reason in
// `*error`, when it cannot.
bool open_acceptor(boost::asio::ip::tcp::acceptor& acceptor, const listen_address& address,
                   std::string* error);

// "192.0.2.7:40112", "[2001:db8::1]:40112".
std::string peer_text(const boost::asio::ip::tcp::endpoint& peer);

std::shared_ptr<listener> open_directip_listener(listener_context context, listener_settings settings,
                                                 std::string* error);

struct webhook_settings {
  std::string token;        // empty: no token asked for
  std::string public_key;   // PEM; empty: no signature asked for
  std::chrono::milliseconds request_deadline{10000};
};

// The webhook at /webhooks/rockblock, and `routes` beside it.
std::shared_ptr<listener> open_http_listener(listener_context context, listener_settings settings,
                                             webhook_settings webhook, std::vector<http_route> routes,
                                             std::string* error);

}  // namespace kaldo::tool::serve
