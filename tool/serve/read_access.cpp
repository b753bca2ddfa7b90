#include "tool/serve/read_access.h"

#include <openssl/evp.h>

#include <boost/beast/core/string.hpp>

#include <string_view>
#include <utility>

#include "tool/serve/webhook.h"

namespace kaldo::tool::serve {

namespace {

constexpr const char* referrer_policy = "no-referrer";

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<std::string> base64_decoded(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::string bytes(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(length);
  for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
  bytes.resize(size);
  return bytes;
}

// The scheme's parameter when `header` is "<scheme> <parameter>".
std::optional<std::string_view> credentials(std::string_view header, std::string_view scheme) {
  header = trimmed(header);
  const std::string_view named = header.substr(0, scheme.size());
  if (header.size() <= scheme.size() || !boost::beast::iequals({named.data(), named.size()}, {scheme.data(), scheme.size()}) ||
      (header[scheme.size()] != ' ' && header[scheme.size()] != '\t')) {
    return std::nullopt;
  }
  return trimmed(header.substr(scheme.size()));
}

// Adds the page's headers to whatever the handler answers.
class guarded_exchange final : public http_exchange {
 public:
  explicit guarded_exchange(std::shared_ptr<http_exchange> inner) : inner_(std::move(inner)) {}

  void answer(http_answer answer) override { inner_->answer(with_policy(std::move(answer))); }
  void open_stream(http_answer head, std::size_t most_pending_bytes) override {
    inner_->open_stream(with_policy(std::move(head)), most_pending_bytes);
  }
  bool send(std::string piece) override { return inner_->send(std::move(piece)); }
  void end() override { inner_->end(); }
  bool open() const override { return inner_->open(); }

 private:
  static http_answer with_policy(http_answer answer) {
    answer.headers.emplace_back("Referrer-Policy", referrer_policy);
    return answer;
  }
  std::shared_ptr<http_exchange> inner_;
};

}  // namespace

std::optional<std::string> presented_token(const http_request& request) {
  const std::string& authorization = request.header("authorization");
  if (!authorization.empty()) {
    if (auto bearer = credentials(authorization, "Bearer")) return std::string(*bearer);
    if (auto basic = credentials(authorization, "Basic")) {
      auto pair = base64_decoded(*basic);
      if (!pair) return std::nullopt;
      const std::size_t colon = pair->find(':');
      if (colon == std::string::npos) return std::nullopt;
      return pair->substr(colon + 1);
    }
  }
  return query_parameter(request.target, "token");
}

read_verdict check_read(const http_request& request, const read_access& access) {
  if (!access.token.empty()) {
    const auto token = presented_token(request);
    return token && same_secret(*token, access.token) ? read_verdict::allowed : read_verdict::no_token;
  }
  if (access.public_read || request.from_loopback) return read_verdict::allowed;
  return read_verdict::loopback_only;
}

http_handler guarded(http_handler handler, read_access access) {
  return [handler = std::move(handler), access = std::move(access)](
             const http_request& request, std::shared_ptr<http_exchange> exchange) {
    http_answer refusal;
    refusal.headers.emplace_back("Referrer-Policy", referrer_policy);
    switch (check_read(request, access)) {
      case read_verdict::allowed:
        return handler(request, std::make_shared<guarded_exchange>(std::move(exchange)));
      case read_verdict::no_token:
        refusal.status = 401;
        refusal.headers.emplace_back("WWW-Authenticate", "Basic realm=\"kaldo\", Bearer realm=\"kaldo\"");
        refusal.body = "a token is needed: as a bearer token, as the Basic password, or ?token=\n";
        break;
      case read_verdict::loopback_only:
        refusal.status = 403;
        refusal.body = "answered on this machine only: set --read-token-file, or --public-read\n";
        break;
    }
    exchange->answer(std::move(refusal));
  };
}

std::vector<http_route> guarded(std::vector<http_route> routes, const read_access& access) {
  for (http_route& route : routes) route.handler = guarded(std::move(route.handler), access);
  return routes;
}

}  // namespace kaldo::tool::serve
