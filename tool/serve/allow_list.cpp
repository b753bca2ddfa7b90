#include "tool/serve/allow_list.h"

#include <boost/system/error_code.hpp>

#include <array>
#include <charconv>

namespace kaldo::tool::serve {

namespace {

namespace ip = boost::asio::ip;

ip::address unmapped(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return ip::make_address_v4(ip::v4_mapped, address.to_v6());
  }
  return address;
}

// The address with every bit past the first `prefix` cleared.
ip::address masked(const ip::address& address, unsigned prefix) {
  if (address.is_v4()) {
    std::array<unsigned char, 4> bytes = address.to_v4().to_bytes();
    for (unsigned i = 0; i < bytes.size(); ++i) {
      const unsigned kept = prefix > i * 8 ? std::min(8u, prefix - i * 8) : 0;
      bytes[i] &= static_cast<unsigned char>(0xFF00u >> kept);
    }
    return ip::address_v4(bytes);
  }
  std::array<unsigned char, 16> bytes = address.to_v6().to_bytes();
  for (unsigned i = 0; i < bytes.size(); ++i) {
    const unsigned kept = prefix > i * 8 ? std::min(8u, prefix - i * 8) : 0;
    bytes[i] &= static_cast<unsigned char>(0xFF00u >> kept);
  }
  return ip::address_v6(bytes);
}

}  // namespace

bool allow_list::add(std::string_view cidr, std::string* error) {
  const std::size_t slash = cidr.find('/');
  boost::system::error_code failed;
  const ip::address address = ip::make_address(std::string(cidr.substr(0, slash)), failed);
  if (failed) {
    *error = "not an IP address: " + std::string(cidr.substr(0, slash));
    return false;
  }
  const unsigned bits = address.is_v4() ? 32 : 128;
  unsigned prefix = bits;
  if (slash != std::string_view::npos) {
    const std::string_view digits = cidr.substr(slash + 1);
    const auto [end, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (problem != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
        prefix > bits) {
      *error = "not a prefix length from 0 to " + std::to_string(bits) + ": " + std::string(cidr);
      return false;
    }
  }
  networks_.push_back({masked(address, prefix), prefix});
  return true;
}

bool allow_list::allows(const ip::address& peer) const {
  const ip::address address = unmapped(peer);
  for (const network& entry : networks_) {
    if (entry.address.is_v4() != address.is_v4()) continue;
    if (masked(address, entry.prefix) == entry.address) return true;
  }
  return false;
}

bool loopback_peer(const ip::address& peer) { return unmapped(peer).is_loopback(); }

bool beyond_loopback(std::string_view host) {
  if (host == "localhost") return false;
  boost::system::error_code failed;
  const ip::address address = ip::make_address(std::string(host), failed);
  return failed || !unmapped(address).is_loopback();
}

std::optional<listen_address> parse_listen_address(std::string_view text, std::string* error) {
  listen_address result{"127.0.0.1", 0};
  std::string_view port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) {
      *error = "not [ADDRESS]:PORT: " + std::string(text);
      return std::nullopt;
    }
    result.host = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    result.host = std::string(text.substr(0, colon));
    if (result.host.find(':') != std::string::npos) {
      *error = "an IPv6 address goes in brackets, as [::1]:PORT: " + std::string(text);
      return std::nullopt;
    }
    port = text.substr(colon + 1);
  }
  unsigned number = 0;
  const auto [end, problem] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || problem != std::errc() || end != port.data() + port.size() || number == 0 ||
      number > 65535 || result.host.empty()) {
    *error = "not [HOST:]PORT with a port from 1 to 65535: " + std::string(text);
    return std::nullopt;
  }
  result.port = static_cast<unsigned short>(number);
  return result;
}

}  // namespace kaldo::tool::serve
