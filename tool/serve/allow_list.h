// Which peers a listener takes: networks given as CIDR ("192.0.2.0/24",
// "2001:db8::/32", or one address). DirectIP carries no authentication of
// its own, so beyond loopback the gateway's addresses are the only proof
// that a message is genuine.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kaldo::tool::serve {

class allow_list {
 public:
  // Adds one network; false, with the reason in `*error`, when `cidr` is
  // not an address with an optional prefix length that fits it.
  bool add(std::string_view cidr, std::string* error);

  bool empty() const { return networks_.empty(); }

  // Whether `peer` lies in one of the networks. An IPv4 peer seen through
  // an IPv6 socket (::ffff:192.0.2.7) counts as the IPv4 address.
  bool allows(const boost::asio::ip::address& peer) const;

 private:
  struct network {
    boost::asio::ip::address address;  // with the bits past the prefix cleared
    unsigned prefix = 0;
  };
  std::vector<network> networks_;
};

// Whether `peer` is this machine, also as ::ffff:127.0.0.1 through an
// IPv6 socket.
bool loopback_peer(const boost::asio::ip::address& peer);

// Whether a listener bound to `host` can be reached from other machines:
// anything but a loopback address ("localhost" counts as loopback).
bool beyond_loopback(std::string_view host);

// "[HOST:]PORT" of --directip and --http; HOST defaults to 127.0.0.1, and
// an IPv6 address is written in brackets ("[::1]:10800"). Empty, with the
// reason in `*error`, for a port that is not 1 to 65535.
struct listen_address {
  std::string host;
  unsigned short port = 0;
};
std::optional<listen_address> parse_listen_address(std::string_view text, std::string* error);

}  // namespace kaldo::tool::serve
