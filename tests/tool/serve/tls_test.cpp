// HTTPS on the --http port with certificates of a CA the test makes with
// the openssl program: routes and webhooks over TLS, clients that do not
// speak it or do not trust the server, and a certificate renewed while the
// listener runs.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "serve/fake_store.h"
#include "tests/test_support.h"
#include "tool/serve/listener.h"
#include "tool/serve/tls_certificate.h"

namespace kaldo::tool::serve {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A CA of its own in `dir`, and server certificates for 127.0.0.1 that it
// signs: server.pem and server.key, replaced at each make_server().
class test_ca {
 public:
  explicit test_ca(std::string dir, const char* name = "ca") : dir_(std::move(dir)), name_(name) {}

  bool make() {
    std::ofstream(dir_ + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
    return run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kaldo-test-" + name_ + " -keyout '" +
               path(".key") + "' -out '" + path(".pem") + "'");
  }
  bool make_server(const std::string& common_name) {
    const std::string server = dir_ + "/server";
    return run("openssl req -newkey rsa:2048 -nodes -subj /CN=" + common_name + " -keyout '" + server +
               ".key' -out '" + server + ".csr'") &&
           run("openssl x509 -req -days 2 -in '" + server + ".csr' -CA '" + path(".pem") + "' -CAkey '" +
               path(".key") + "' -CAcreateserial -extfile '" + dir_ + "/san.ext' -out '" + server + ".pem'");
  }
  std::string path(const char* suffix) const { return dir_ + "/" + name_ + suffix; }
  std::string certificate() const { return dir_ + "/server.pem"; }
  std::string key() const { return dir_ + "/server.key"; }

 private:
  std::string dir_, name_;
};

struct tls_answer {
  bool handshake = false;
  std::string server_name;  // the certificate's common name
  int status = 0;
  std::string body;
};

// One request over TLS, trusting `ca_file` only and checking the name.
tls_answer tls_request(unsigned short port, const std::string& ca_file, http::verb method, const std::string& target,
                       const std::string& body = "") {
  tls_answer result;
  asio::io_context io;
  ssl::context context(ssl::context::tls_client);
  context.load_verify_file(ca_file);
  context.set_verify_mode(ssl::verify_peer);
  beast::ssl_stream<beast::tcp_stream> stream(io, context);
  stream.set_verify_callback(ssl::host_name_verification("127.0.0.1"));
  beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(5));
  beast::error_code failed;
  beast::get_lowest_layer(stream).connect({asio::ip::make_address("127.0.0.1"), port}, failed);
  if (failed) return result;
  stream.handshake(ssl::stream_base::client, failed);
  if (failed) return result;
  result.handshake = true;
  if (X509* peer = SSL_get1_peer_certificate(stream.native_handle())) {
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof name);
    result.server_name = name;
    X509_free(peer);
  }
  http::request<http::string_body> request(method, target, 11);
  request.set(http::field::host, "127.0.0.1");
  request.set(http::field::connection, "close");
  if (!body.empty()) {
    request.set(http::field::content_type, "application/x-www-form-urlencoded");
    request.body() = body;
  }
  request.prepare_payload();
  http::write(stream, request, failed);
  if (failed) return result;
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response, failed);
  if (failed) return result;
  result.status = static_cast<int>(response.result_int());
  result.body = response.body();
  return result;
}

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    KALDO_REQUIRE_PART(run("openssl version"), "the openssl program makes the test's certificates");
    ASSERT_TRUE(ca_.make() && ca_.make_server("first") && stranger_.make());
    std::string error;
    certificate_ = tls_certificate::load(ca_.certificate(), ca_.key(), &error);
    ASSERT_NE(certificate_, nullptr) << error;
    log_file_ = std::tmpfile();
    log_ = std::make_unique<serve_log>(log_format::text, false, log_file_);
    listener_settings settings;
    settings.address = {"127.0.0.1", 0};
    settings.tls = certificate_;
    std::vector<http_route> routes = {{"/r", [](const http_request& request, std::shared_ptr<http_exchange> e) {
                                         e->answer({200, "text/plain", {}, "route at " + request.path});
                                       }}};
    listener_ = open_http_listener({io_, store_, *log_, budget_}, settings, {}, routes, &error);
    ASSERT_TRUE(listener_) << error;
    thread_ = std::thread([this] { io_.run(); });
  }
  void TearDown() override {
    if (listener_) asio::post(io_, [this] { listener_->stop(); });
    store_.close();
    io_.stop();
    if (thread_.joinable()) thread_.join();
    if (log_file_) std::fclose(log_file_);
  }

  temp_dir dir_;
  test_ca ca_{dir_.path()};
  test_ca stranger_{dir_.path(), "stranger"};
  std::shared_ptr<tls_certificate> certificate_;
  fake_store store_;
  std::FILE* log_file_ = nullptr;
  std::unique_ptr<serve_log> log_;
  connection_budget budget_{64};
  asio::io_context io_;
  std::shared_ptr<listener> listener_;
  std::thread thread_;
};

TEST_F(Tls, RoutesAndWebhooksOverTlsOnlyToClientsThatTrustIt) {
  const unsigned short port = listener_->port();
  const struct {
    const char* name;
    std::string ca;
    http::verb method;
    std::string target;
    std::string body;
    bool handshake;
    int status;
  } cases[] = {
      {"a route", ca_.path(".pem"), http::verb::get, "/r", "", true, 200},
      {"no such path", ca_.path(".pem"), http::verb::get, "/elsewhere", "", true, 404},
      {"the webhook, a body without imei", ca_.path(".pem"), http::verb::post, "/webhooks/rockblock", "momsn=1",
       true, 400},
      {"a client that trusts another CA", stranger_.path(".pem"), http::verb::get, "/r", "", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const tls_answer answer = tls_request(port, c.ca, c.method, c.target, c.body);
    EXPECT_EQ(answer.handshake, c.handshake);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    if (c.handshake) {
      EXPECT_EQ(answer.server_name, "first");
    }
  }
  // Plain HTTP to the HTTPS port gets no HTTP answer, and the port goes on.
  {
    asio::io_context io;
    beast::tcp_stream plain(io);
    plain.expires_after(std::chrono::seconds(5));
    plain.connect({asio::ip::make_address("127.0.0.1"), port});
    http::request<http::empty_body> request(http::verb::get, "/r", 11);
    http::write(plain, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    beast::error_code failed;
    http::read(plain, buffer, response, failed);
    EXPECT_TRUE(failed) << "answered " << response.result_int() << " in plain text";
  }
  EXPECT_EQ(tls_request(port, ca_.path(".pem"), http::verb::get, "/r").status, 200);
}

TEST_F(Tls, ARenewedCertificateServesTheConnectionsThatFollow) {
  const unsigned short port = listener_->port();
  ASSERT_TRUE(ca_.make_server("second"));
  std::string error;
  ASSERT_TRUE(certificate_->reload(&error)) << error;
  EXPECT_EQ(tls_request(port, ca_.path(".pem"), http::verb::get, "/r").server_name, "second");
  // A key that is not the certificate's: refused, the one in use stays.
  ASSERT_TRUE(run("openssl genrsa -out '" + ca_.key() + "' 2048"));
  EXPECT_FALSE(certificate_->reload(&error));
  EXPECT_NE(error.find(ca_.key()), std::string::npos) << error;
  const tls_answer after = tls_request(port, ca_.path(".pem"), http::verb::get, "/r");
  EXPECT_EQ(after.server_name, "second");
  EXPECT_EQ(after.status, 200);
}

}  // namespace
}  // namespace kaldo::tool::serve
