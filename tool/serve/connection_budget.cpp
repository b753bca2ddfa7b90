#include "tool/serve/connection_budget.h"

namespace kaldo::tool::serve {

bool connection_budget::take(const boost::asio::ip::address& peer, std::size_t most_from_peer) {
  if (held_ >= most_) return false;
  std::size_t& from_peer = per_peer_[peer];
  if (from_peer >= most_from_peer) return false;
  ++from_peer;
  ++held_;
  return true;
}

void connection_budget::give_back(const boost::asio::ip::address& peer) {
  const auto found = per_peer_.find(peer);
  if (found == per_peer_.end()) return;
  if (--found->second == 0) per_peer_.erase(found);
  --held_;
}

}  // namespace kaldo::tool::serve
