#include "tool/serve/read_access.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/tool/serve/recording_exchange.h"

namespace kaldo::tool::serve {
namespace {

using testing::get_request;
using testing::header_of;
using testing::recording_exchange;

TEST(ReadAccess, TokenFormsPeersAndSettings) {
  const read_access with_token{"s3cret:tok", false};
  const read_access loopback_only{"", false};
  const read_access public_read{"", true};
  const struct {
    const char* name;
    read_access access;
    std::string target;
    std::string authorization;
    bool from_loopback;
    int status;  // 200 when the handler is reached
  } cases[] = {
      {"bearer token", with_token, "/api", "Bearer s3cret:tok", false, 200},
      {"bearer scheme in other case, extra blanks", with_token, "/api", "  bearer   s3cret:tok ", false, 200},
      // "user:s3cret:tok": the password is all after the first colon.
      {"basic with the token as password", with_token, "/api", "Basic dXNlcjpzM2NyZXQ6dG9r", false, 200},
      {"basic with an empty user", with_token, "/api", "Basic OnMzY3JldDp0b2s=", false, 200},
      {"basic with the token as user name", with_token, "/api", "Basic czNjcmV0OnRvazo=", false, 401},
      {"basic that is not base64", with_token, "/api", "Basic ***", false, 401},
      {"query parameter", with_token, "/api/collections?limit=5&token=s3cret%3Atok", "", false, 200},
      {"query parameter given twice", with_token, "/api?token=s3cret:tok&token=s3cret:tok", "", false, 401},
      {"wrong token", with_token, "/api?token=s3cret", "", false, 401},
      {"a prefix of the token", with_token, "/api", "Bearer s3cret:to", false, 401},
      {"none at all, even from this machine", with_token, "/", "", true, 401},
      {"an unknown scheme", with_token, "/api", "Digest s3cret:tok", false, 401},
      {"no token set up: this machine", loopback_only, "/", "", true, 200},
      {"no token set up: another machine", loopback_only, "/", "", false, 403},
      {"no token set up: another machine with some token", loopback_only, "/?token=x", "", false, 403},
      {"public reading: another machine", public_read, "/metrics", "", false, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool reached = false;
    const http_handler handler = guarded(
        [&](const http_request&, std::shared_ptr<http_exchange> exchange) {
          reached = true;
          exchange->answer({200, "text/plain", {}, "the fleet"});
        },
        c.access);
    http_request request = get_request(c.target, c.from_loopback);
    if (!c.authorization.empty()) request.headers["authorization"] = c.authorization;
    auto exchange = std::make_shared<recording_exchange>();
    handler(request, exchange);
    const auto answer = exchange->wait();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->status, c.status);
    EXPECT_EQ(reached, c.status == 200);
    EXPECT_EQ(header_of(*answer, "Referrer-Policy"), "no-referrer");
    EXPECT_EQ(header_of(*answer, "WWW-Authenticate").has_value(), c.status == 401);
    if (c.status != 200) {
      EXPECT_EQ(answer->body.find("s3cret"), std::string::npos) << "the refusal repeats a secret";
    }
  }
}

TEST(ReadAccess, EveryRouteOfTheTableIsGuarded) {
  std::vector<http_route> routes = {
      {"/", [](const http_request&, std::shared_ptr<http_exchange> e) { e->answer({}); }},
      {"/api", [](const http_request&, std::shared_ptr<http_exchange> e) { e->answer({}); }},
      {"/events", [](const http_request&, std::shared_ptr<http_exchange> e) { e->open_stream({}, 64); }},
  };
  for (const http_route& route : guarded(routes, read_access{"t", false})) {
    SCOPED_TRACE(route.path);
    auto refused = std::make_shared<recording_exchange>();
    route.handler(get_request(route.path), refused);
    EXPECT_EQ(refused->wait()->status, 401);
    auto taken = std::make_shared<recording_exchange>();
    route.handler(get_request(route.path + "?token=t"), taken);
    EXPECT_EQ(taken->wait()->status, 200);
    EXPECT_EQ(header_of(*taken->wait(), "Referrer-Policy"), "no-referrer");
  }
}

}  // namespace
}  // namespace kaldo::tool::serve
