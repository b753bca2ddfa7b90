#include "tool/serve/tls_certificate.h"

#include <openssl/ssl.h>

namespace kaldo::tool::serve {

namespace {

namespace ssl = boost::asio::ssl;

std::shared_ptr<ssl::context> make_context(const std::string& certificate_file, const std::string& key_file,
                                           std::string* error) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  // TLS 1.2 and later only; OpenSSL's default ciphers for those.
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_compression |
                       ssl::context::single_dh_use);
  boost::system::error_code failed;
  // The chain: the server's certificate and the intermediates after it.
  context->use_certificate_chain_file(certificate_file, failed);
  if (failed) {
    *error = "cannot use the certificate " + certificate_file + ": " + failed.message();
    return nullptr;
  }
  context->use_private_key_file(key_file, ssl::context::pem, failed);
  if (failed) {
    *error = "cannot use the key " + key_file + ": " + failed.message();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
    *error = "the key " + key_file + " is not the certificate's";
    return nullptr;
  }
  return context;
}

}  // namespace

std::shared_ptr<tls_certificate> tls_certificate::load(std::string certificate_file, std::string key_file,
                                                       std::string* error) {
  std::shared_ptr<tls_certificate> loaded(new tls_certificate(std::move(certificate_file), std::move(key_file)));
  if (!loaded->reload(error)) return nullptr;
  return loaded;
}

bool tls_certificate::reload(std::string* error) {
  auto context = make_context(certificate_file_, key_file_, error);
  if (context == nullptr) return false;
  std::lock_guard lock(mutex_);
  context_ = std::move(context);
  return true;
}

std::shared_ptr<boost::asio::ssl::context> tls_certificate::current() const {
  std::lock_guard lock(mutex_);
  return context_;
}

}  // namespace kaldo::tool::serve
