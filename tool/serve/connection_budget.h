// How many connections the listeners hold at once, in all and from one
// peer. Past the limit a connection is accepted and closed at once: left
// in the kernel's queue it would only wait there, and a flood of them
// must not starve the gateway. Used from the listeners' one thread.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <map>

namespace kaldo::tool::serve {

class connection_budget {
 public:
  explicit connection_budget(std::size_t most) : most_(most) {}

  // Whether a connection from `peer` may be kept, with at most
  // `most_from_peer` from one address; when true, give_back() is owed once
  // it closes.
  bool take(const boost::asio::ip::address& peer, std::size_t most_from_peer);
  void give_back(const boost::asio::ip::address& peer);

  std::size_t held() const { return held_; }

 private:
  std::size_t most_;
  std::size_t held_ = 0;
  std::map<boost::asio::ip::address, std::size_t> per_peer_;
};

}  // namespace kaldo::tool::serve
