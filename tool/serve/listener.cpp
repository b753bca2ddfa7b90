#include "tool/serve/listener.h"

#include <boost/asio/ip/address.hpp>

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

}  // namespace kaldo::tool::serve
