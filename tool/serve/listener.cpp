#include "tool/serve/listener.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

namespace kaldo::tool::serve {

namespace ip = boost::asio::ip;

bool open_acceptor(ip::tcp::acceptor& acceptor, const listen_address& address, std::string* error) {
  boost::system::error_code failed;
  ip::tcp::resolver resolver(acceptor.get_executor());
  const auto endpoints = resolver.resolve(address.host, std::to_string(address.port),
                                          ip::tcp::resolver::passive, failed);
  if (failed || endpoints.empty()) {
    *error = "cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " +
             (failed ? failed.message() : "no such address");
    return false;
  }
  const ip::tcp::endpoint endpoint = endpoints.begin()->endpoint();
  acceptor.open(endpoint.protocol(), failed);
  if (!failed) acceptor.set_option(ip::tcp::acceptor::reuse_address(true), failed);
  if (!failed) acceptor.bind(endpoint, failed);
  if (!failed) acceptor.listen(ip::tcp::socket::max_listen_connections, failed);
  if (failed) {
    *error = "cannot listen on " + peer_text(endpoint) + ": " + failed.message();
    return false;
  }
  return true;
}

std::string peer_text(const ip::tcp::endpoint& peer) {
  const ip::address address = peer.address();
  const bool bracketed = address.is_v6() && !address.to_v6().is_v4_mapped();
  std::string text;
  if (bracketed) {
    text = address.to_string();
    text.insert(text.begin(), '[');
    text += ']';
  } else {
    text = address.is_v6() ? ip::make_address_v4(ip::v4_mapped, address.to_v6()).to_string()
                           : address.to_string();
  }
  text += ':';
  text += std::to_string(peer.port());
  return text;
}

message_log_entry stored_entry(std::string channel, std::string peer, std::string imei, std::uint32_t momsn,
                               const store_result& result, bool told_otherwise) {
  message_log_entry entry;
  entry.channel = std::move(channel);
  entry.peer = std::move(peer);
  entry.imei = std::move(imei);
  entry.momsn = momsn;
  entry.outcome = !result.committed ? "not_stored" : result.duplicate ? "duplicate" : "stored";
  if (result.committed) entry.status = to_string(result.status);
  entry.positions_added = result.positions_added;
  entry.commit_time = result.commit_time;
  entry.reason = result.error;
  if (told_otherwise && result.committed) entry.reason = "committed after the sender was told otherwise";
  return entry;
}

accepting_listener::accepting_listener(listener_context context, listener_settings settings, std::string channel,
                                       std::function<std::size_t(const ip::address& peer)> most_from)
    : context_(context),
      settings_(std::move(settings)),
      channel_(std::move(channel)),
      most_from_(std::move(most_from)),
      acceptor_(context.io) {}

bool accepting_listener::open(std::string* error) {
  if (!open_acceptor(acceptor_, settings_.address, error)) return false;
  accept();
  return true;
}

unsigned short accepting_listener::port() const { return acceptor_.local_endpoint().port(); }

void accepting_listener::stop() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
}

void accepting_listener::closed(const ip::address& peer) {
  --open_;
  context_.budget.give_back(peer);
}

void accepting_listener::accept() {
  acceptor_.async_accept([this, self = shared_from_this()](boost::system::error_code failed, ip::tcp::socket socket) {
    if (failed == boost::asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (failed) {
      // Out of file descriptors or the like: accept again, not at once.
      auto pause = std::make_shared<boost::asio::steady_timer>(context_.io, std::chrono::milliseconds(50));
      pause->async_wait([this, self, pause](boost::system::error_code) {
        if (acceptor_.is_open()) accept();
      });
      return;
    }
    welcome(std::move(socket));
    accept();
  });
}

void accepting_listener::welcome(ip::tcp::socket socket) {
  boost::system::error_code failed;
  const ip::tcp::endpoint remote = socket.remote_endpoint(failed);
  if (failed) return;
  const std::string peer = peer_text(remote);
  if (!settings_.allowed.empty() && !settings_.allowed.allows(remote.address())) {
    context_.log.refused(channel_, peer, "not in the allowed networks");
    return;
  }
  if (!context_.budget.take(remote.address(), most_from_(remote.address()))) {
    context_.log.refused(channel_, peer, "too many connections");
    return;
  }
  ++open_;
  start_connection(std::move(socket), peer);
}

}  // namespace kaldo::tool::serve
