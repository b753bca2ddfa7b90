// The listeners over real loopback sockets, with a store that answers as
// the test says: what a gateway and a provider see on the wire.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <future>
#include <random>
#include <thread>

#include "serve/directip_frames.h"
#include "serve/fake_store.h"
#include "tool/serve/directip.h"
#include "tool/serve/listener.h"

namespace kaldo::tool::serve {
namespace {

using namespace frames;
using namespace std::chrono_literals;

// A client socket to 127.0.0.1:port that gives up reading after `wait`.
class client {
 public:
  client(unsigned short port, std::chrono::milliseconds wait = 5000ms) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~client() { ::close(fd_); }

  bool send(const std::string& bytes, bool byte_by_byte = false) {
    if (!byte_by_byte) return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    for (char c : bytes) {
      if (::send(fd_, &c, 1, MSG_NOSIGNAL) != 1) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  void finish_sending() { ::shutdown(fd_, SHUT_WR); }

  // Everything until the server closes; nullopt when it does not within
  // the wait.
  std::optional<std::string> answer() {
    std::string got;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return got;
      if (n < 0) return errno == ECONNRESET ? std::optional(got) : std::nullopt;
      got.append(buffer, static_cast<std::size_t>(n));
    }
  }
  bool connected() const { return connected_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// The listeners on one io_context in a thread of their own, logging into a
// temporary file.
class Listeners : public ::testing::Test {
 protected:
  void SetUp() override { log_file_ = std::tmpfile(); }

  void start_directip(listener_settings settings = {}, std::size_t max_connections = 64) {
    budget_ = std::make_unique<connection_budget>(max_connections);
    log_ = std::make_unique<serve_log>(log_format::text, false, log_file_);
    settings.address = {"127.0.0.1", 0};
    std::string error;
    listener_ = open_directip_listener({io_, store_, *log_, *budget_}, std::move(settings), &error);
    ASSERT_TRUE(listener_) << error;
    thread_ = std::thread([this] { io_.run(); });
  }

  void start_http(webhook_settings webhook = {}, listener_settings settings = {},
                  std::vector<http_route> routes = {}, std::size_t max_connections = 64) {
    budget_ = std::make_unique<connection_budget>(max_connections);
    log_ = std::make_unique<serve_log>(log_format::text, false, log_file_);
    settings.address = {"127.0.0.1", 0};
    std::string error;
    listener_ = open_http_listener({io_, store_, *log_, *budget_}, std::move(settings), std::move(webhook),
                                   std::move(routes), &error);
    ASSERT_TRUE(listener_) << error;
    thread_ = std::thread([this] { io_.run(); });
  }

  void TearDown() override {
    if (listener_) boost::asio::post(io_, [this] { listener_->stop(); });
    store_.close();
    io_.stop();
    if (thread_.joinable()) thread_.join();
    std::fclose(log_file_);
  }

  std::string log_text() {
    std::fflush(log_file_);
    std::rewind(log_file_);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, log_file_)) > 0) text.append(buffer, n);
    return text;
  }

  unsigned short port() const { return listener_->port(); }

  // A good frame answered with the success confirmation: the listener
  // still works.
  void expect_confirmed(std::uint16_t momsn = 42) {
    client c(port());
    ASSERT_TRUE(c.send(frame(header(0, imei, "", momsn) + payload())));
    EXPECT_EQ(c.answer(), std::string(directip_confirm_success));
  }

  // What the listeners use outlives the io_context, whose end lets go of
  // the last connections.
  fake_store store_;
  std::FILE* log_file_ = nullptr;
  std::unique_ptr<serve_log> log_;
  std::unique_ptr<connection_budget> budget_;
  boost::asio::io_context io_;
  std::shared_ptr<listener> listener_;
  std::thread thread_;
};

TEST_F(Listeners, DirectIpConfirmsEveryGoodFrameOnceStored) {
  start_directip();
  const struct {
    const char* name;
    std::string frame;
    bool byte_by_byte;
    bool has_payload;
  } cases[] = {
      {"header then payload", frame(header() + payload()), false, true},
      {"location first", frame(location() + payload() + header()), false, true},
      {"an unknown element", frame(header() + element(0x30, "??") + payload()), false, true},
      {"one byte at a time", frame(header() + location() + payload()), true, true},
      {"a failed session without payload", frame(header(13) + location()), false, false},
      {"a payload that is no position report", frame(header() + payload("not a report")), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = store_.received().size();
    client sender(port());
    ASSERT_TRUE(sender.send(c.frame, c.byte_by_byte));
    EXPECT_EQ(sender.answer(), std::string(directip_confirm_success));
    const auto received = store_.received();
    ASSERT_EQ(received.size(), before + 1);
    EXPECT_EQ(received.back().channel, "directip");
    EXPECT_EQ(received.back().imei, imei);
    EXPECT_EQ(received.back().momsn, 42u);
    EXPECT_EQ(received.back().session_time, 1715949005);
    EXPECT_EQ(received.back().payload.has_value(), c.has_payload);
  }
}

TEST_F(Listeners, DirectIpRefusesBadFramesWithoutConfirmingAndGoesOn) {
  listener_settings settings;
  settings.read_timeout = 300ms;
  start_directip(settings);
  std::mt19937 random(7);
  std::string noise(200, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  noise[0] = 1;  // a revision it takes, so the rest is read
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"another revision", frame(header() + payload(), 2)},
      {"a length never sent", frame(header() + payload()).substr(0, 20)},
      {"a header of 27 bytes", frame(element(0x01, header().substr(3, 27)) + payload())},
      {"no header", frame(payload())},
      {"a 2,000-byte payload", frame(header() + payload(std::string(2000, 'x')))},
      {"two headers", frame(header() + header() + payload())},
      {"an IMEI of letters", frame(header(0, "30023401012345X") + payload())},
      {"elements that overrun the message", frame(header() + "\x02\x00\x09" "abc")},
      {"random bytes", noise},
      {"an empty connection", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = store_.received().size();
    client sender(port());
    ASSERT_TRUE(sender.send(c.bytes));
    const auto answer = sender.answer();
    ASSERT_TRUE(answer.has_value()) << "the connection was left open";
    EXPECT_EQ(*answer, "") << "a refused frame got an answer";
    EXPECT_EQ(store_.received().size(), before);
    expect_confirmed();
  }
  EXPECT_NE(log_text().find("refused"), std::string::npos);
}

TEST_F(Listeners, DirectIpSaysFailureWhenTheStoreCannotCommitOrTakesTooLong) {
  listener_settings settings;
  settings.store_patience = 300ms;
  start_directip(settings);
  for (const auto how : {fake_store::answer::not_committed, fake_store::answer::never}) {
    store_.set_answer(how);
    client sender(port());
    ASSERT_TRUE(sender.send(frame(header() + payload())));
    EXPECT_EQ(sender.answer(), std::string(directip_confirm_failure));
  }
  store_.set_answer(fake_store::answer::committed);
  expect_confirmed();
}

TEST_F(Listeners, DirectIpTakesOnlyAllowedPeersAndNoMoreThanItsConnections) {
  listener_settings settings;
  std::string error;
  ASSERT_TRUE(settings.allowed.add("10.0.0.0/8", &error)) << error;
  start_directip(settings);
  client stranger(port());
  ASSERT_TRUE(stranger.send(frame(header() + payload())));
  EXPECT_EQ(stranger.answer(), "");
  EXPECT_TRUE(store_.received().empty());
  EXPECT_NE(log_text().find("not in the allowed networks"), std::string::npos);
}

TEST_F(Listeners, DirectIpClosesConnectionsBeyondItsLimitAtOnce) {
  start_directip({}, 1);
  client holder(port());
  ASSERT_TRUE(holder.send(std::string(1, '\x01')));  // and nothing more for now
  std::this_thread::sleep_for(100ms);
  client second(port(), 2000ms);
  EXPECT_EQ(second.answer(), "") << "a connection past the limit was kept";
  ASSERT_TRUE(holder.send(frame(header() + payload()).substr(1)));
  EXPECT_EQ(holder.answer(), std::string(directip_confirm_success));
}

// An HTTP exchange over one connection: each request's status line and
// body as the listener answered.
std::string post(const std::string& target, const std::string& body,
                 const std::string& content_type = "application/x-www-form-urlencoded",
                 const std::string& extra_headers = "") {
  return "POST " + target + " HTTP/1.1\r\nHost: receiver\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra_headers + "\r\n" + body;
}

int status_of(const std::optional<std::string>& answer, std::size_t at = 0) {
  if (!answer) return 0;
  const std::size_t line = answer->find("HTTP/1.1 ", at);
  return line == std::string::npos ? 0 : std::stoi(answer->substr(line + 9, 3));
}

const std::string good_body =
    "imei=300234010123450&momsn=42&transmit_time=24-05-17+12%3A30%3A05&iridium_latitude=52.38"
    "&iridium_longitude=-0.29&iridium_cep=8&data=48656c6c6f";

TEST_F(Listeners, WebhooksAnswerWithTheStatusOfWhatBecameOfTheBody) {
  listener_settings settings;
  settings.store_patience = 300ms;
  webhook_settings webhook;
  webhook.token = "s3cret";
  start_http(webhook, settings);
  const struct {
    const char* name;
    std::string request;
    fake_store::answer store;
    int status;
  } cases[] = {
      {"stored", post("/webhooks/rockblock?token=s3cret", good_body), fake_store::answer::committed, 200},
      {"no token", post("/webhooks/rockblock", good_body), fake_store::answer::committed, 401},
      {"another token", post("/webhooks/rockblock?token=s3creT", good_body), fake_store::answer::committed, 401},
      {"a bad IMEI", post("/webhooks/rockblock?token=s3cret", "imei=12&momsn=1&transmit_time=24-05-17+12:30:05"),
       fake_store::answer::committed, 400},
      {"a body over 64 KB", post("/webhooks/rockblock?token=s3cret", std::string(70000, 'a')),
       fake_store::answer::committed, 413},
      {"headers over 8 KB",
       post("/webhooks/rockblock?token=s3cret", good_body, "text/plain", "X-Big: " + std::string(9000, 'b') + "\r\n"),
       fake_store::answer::committed, 431},
      {"another path", post("/hooks?token=s3cret", good_body), fake_store::answer::committed, 404},
      {"not a POST", "GET /webhooks/rockblock?token=s3cret HTTP/1.1\r\nHost: r\r\n\r\n",
       fake_store::answer::committed, 405},
      {"the store cannot commit", post("/webhooks/rockblock?token=s3cret", good_body),
       fake_store::answer::not_committed, 503},
      {"the store does not answer in time", post("/webhooks/rockblock?token=s3cret", good_body),
       fake_store::answer::never, 503},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store_.set_answer(c.store);
    client sender(port());
    ASSERT_TRUE(sender.send(c.request));
    sender.finish_sending();
    EXPECT_EQ(status_of(sender.answer()), c.status);
  }
  EXPECT_EQ(log_text().find("s3cret"), std::string::npos) << "the token was logged";
  const auto received = store_.received();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.front().channel, "rockblock");
  EXPECT_EQ(received.front().payload, "Hello");
  EXPECT_EQ(received.front().session_time, 1715949005);
}

TEST_F(Listeners, WebhooksKeepConnectionsAliveAndAnswerClientsThatAskBeforeTheBody) {
  start_http();
  client sender(port());
  ASSERT_TRUE(sender.send(post("/webhooks/rockblock", good_body) +
                          post("/webhooks/rockblock", good_body, "application/x-www-form-urlencoded",
                               "Connection: close\r\n")));
  const auto both = sender.answer();
  EXPECT_EQ(status_of(both), 200);
  EXPECT_EQ(status_of(both, 1), 200) << "the second request on the connection";

  client asking(port());
  const std::string request = post("/webhooks/rockblock", good_body, "application/x-www-form-urlencoded",
                                   "Expect: 100-continue\r\nConnection: close\r\n");
  const std::size_t head = request.find("\r\n\r\n") + 4;
  ASSERT_TRUE(asking.send(request.substr(0, head)));
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(asking.send(request.substr(head)));
  const auto answer = asking.answer();
  EXPECT_EQ(status_of(answer), 100);
  EXPECT_EQ(status_of(answer, 1), 200);
  EXPECT_EQ(store_.received().size(), 3u);
}

TEST_F(Listeners, LoopbackMayHoldMoreThanAPeersShareUpToTheLimitOfAll) {
  // 100 viewers' event streams through a proxy on this machine; past the
  // limit of all connections a client is still turned away.
  std::vector<http_route> routes = {{"/", [](const http_request&, std::shared_ptr<http_exchange> exchange) {
                                       exchange->answer({200, "text/plain", {}, "page"});
                                     }}};
  start_http({}, {}, routes, 102);
  std::vector<std::unique_ptr<client>> held;
  for (int i = 0; i < 100; ++i) {
    held.push_back(std::make_unique<client>(port()));
    ASSERT_TRUE(held.back()->send("GET / HTTP/1.1\r\nHost: r\r\n\r\n"));
  }
  std::this_thread::sleep_for(200ms);
  const struct {
    const char* name;
    int status;
  } cases[] = {{"the 101st connection", 200}, {"the 102nd", 200}, {"one past the limit of all", 0}};
  std::vector<std::unique_ptr<client>> more;
  for (const auto& c : cases) {
    more.push_back(std::make_unique<client>(port(), 2000ms));
    ASSERT_TRUE(more.back()->send("GET / HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n") || c.status == 0);
    if (c.status != 0) {
      EXPECT_EQ(status_of(more.back()->answer()), c.status) << c.name;
    } else {
      std::this_thread::sleep_for(200ms);
      EXPECT_EQ(status_of(more.back()->answer()), 0) << c.name;
    }
  }
  EXPECT_NE(log_text().find("too many connections"), std::string::npos)
      << "the one past the limit was not refused";
}

TEST_F(Listeners, RoutesAnswerNowLaterOrAsAStream) {
  std::shared_ptr<http_exchange> stream;
  std::mutex mutex;
  std::condition_variable streaming;
  std::vector<http_route> routes = {
      {"/", [](const http_request& request, std::shared_ptr<http_exchange> exchange) {
         exchange->answer({200, "text/html", {{"Referrer-Policy", "no-referrer"}}, "page at " + request.path});
       }},
      {"/api", [](const http_request& request, std::shared_ptr<http_exchange> exchange) {
         // Answered from another thread, as a query of the store would.
         std::thread([request, exchange] {
           std::this_thread::sleep_for(50ms);
           exchange->answer({200, "application/json", {}, "{\"path\":\"" + request.path + "\",\"token\":\"" +
                                                            request.header("authorization") + "\"}"});
         }).detach();
       }},
      {"/events", [&](const http_request&, std::shared_ptr<http_exchange> exchange) {
         exchange->open_stream({200, "text/event-stream", {{"Cache-Control", "no-store"}}, ""}, 64);
         std::lock_guard lock(mutex);
         stream = exchange;
         streaming.notify_all();
       }},
  };
  start_http({}, {}, routes);
  const struct {
    const char* name;
    std::string request;
    int status;
    const char* body;
  } cases[] = {
      {"the page", "GET / HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n", 200, "page at /"},
      {"below the API, answered later", "GET /api/collections?limit=5 HTTP/1.1\r\nHost: r\r\n"
       "Authorization: Bearer abc\r\nConnection: close\r\n\r\n", 200,
       "{\"path\":\"/api/collections\",\"token\":\"Bearer abc\"}"},
      {"no route below the page", "GET /other HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n", 404, nullptr},
      {"a path that only starts like a route", "GET /apis HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n", 404,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client reader(port());
    ASSERT_TRUE(reader.send(c.request));
    const auto answer = reader.answer();
    EXPECT_EQ(status_of(answer), c.status);
    if (c.body) {
      EXPECT_NE(answer->find(c.body), std::string::npos) << *answer;
    }
  }

  client listening(port(), 2000ms);
  ASSERT_TRUE(listening.send("GET /events HTTP/1.1\r\nHost: r\r\n\r\n"));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(streaming.wait_for(lock, 5s, [&] { return stream != nullptr; }));
  }
  EXPECT_TRUE(stream->send("event: position\ndata: 1\n\n"));
  EXPECT_TRUE(stream->send("data: 2\n\n"));
  // Past the 64 bytes it may fall behind by, the stream is ended: the
  // client reconnects and catches up.
  EXPECT_FALSE(stream->send(std::string(100, 'x')));
  const auto events = listening.answer();
  ASSERT_TRUE(events.has_value()) << "the stream was not ended";
  EXPECT_EQ(status_of(events), 200);
  EXPECT_NE(events->find("text/event-stream"), std::string::npos);
  EXPECT_NE(events->find("event: position\ndata: 1\n\n"), std::string::npos);
  EXPECT_NE(events->find("data: 2\n\n"), std::string::npos);
  EXPECT_EQ(events->find("xxxx"), std::string::npos);
  EXPECT_FALSE(stream->open());
}

TEST(AllowList, NetworksAndAddresses) {
  allow_list allowed;
  std::string error;
  for (const char* cidr : {"192.0.2.0/24", "2001:db8::/32", "198.51.100.7"}) {
    ASSERT_TRUE(allowed.add(cidr, &error)) << cidr << ": " << error;
  }
  const struct {
    const char* address;
    bool allowed;
  } cases[] = {{"192.0.2.200", true},      {"192.0.3.1", false},   {"198.51.100.7", true},
               {"198.51.100.8", false},    {"2001:db8:5::1", true}, {"2001:db9::1", false},
               {"::ffff:192.0.2.9", true}, {"127.0.0.1", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(allowed.allows(boost::asio::ip::make_address(c.address)), c.allowed) << c.address;
  }
  for (const char* bad : {"192.0.2.0/33", "300.1.2.3", "10.0.0.0/", "10.0.0.0/8x", "::/129"}) {
    EXPECT_FALSE(allowed.add(bad, &error)) << bad;
  }
}

TEST(LoopbackPeer, ThisMachineAlsoThroughAnIpv6Socket) {
  const struct {
    const char* address;
    bool loopback;
  } cases[] = {{"127.0.0.1", true},       {"127.3.2.1", true},         {"::1", true},
               {"::ffff:127.0.0.1", true}, {"::ffff:192.0.2.9", false}, {"192.0.2.9", false},
               {"::2", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(loopback_peer(boost::asio::ip::make_address(c.address)), c.loopback) << c.address;
  }
}

TEST(ListenAddress, PortsHostsAndBrackets) {
  const struct {
    const char* text;
    const char* host;
    unsigned short port;
  } cases[] = {{"10800", "127.0.0.1", 10800}, {"0.0.0.0:10800", "0.0.0.0", 10800},
               {"[::1]:8080", "::1", 8080},     {"localhost:1", "localhost", 1},
               {"0", nullptr, 0},               {"65536", nullptr, 0},
               {"::1:80", nullptr, 0},          {"host:", nullptr, 0}};
  for (const auto& c : cases) {
    std::string error;
    const auto parsed = parse_listen_address(c.text, &error);
    ASSERT_EQ(parsed.has_value(), c.host != nullptr) << c.text << ": " << error;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, c.host);
    EXPECT_EQ(parsed->port, c.port);
  }
  EXPECT_FALSE(beyond_loopback("127.0.0.1"));
  EXPECT_FALSE(beyond_loopback("::1"));
  EXPECT_FALSE(beyond_loopback("localhost"));
  EXPECT_TRUE(beyond_loopback("0.0.0.0"));
  EXPECT_TRUE(beyond_loopback("gateway.example"));
}

TEST(ServeLog, TextFromTheNetworkCannotForgeALine) {
  EXPECT_EQ(escaped_for_log("IMEI\nfake line\r\x01\\"), "IMEI\\x0Afake line\\x0D\\x01\\x5C");
  EXPECT_EQ(escaped_for_log("caf\xE9"), "caf\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kaldo::tool::serve
