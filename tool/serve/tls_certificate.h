// The certificate and key the --http port answers HTTPS with. Certificates
// are renewed while the receiver runs (every few weeks, by a tool that then
// sends SIGHUP): reload() reads the files again into a new context for the
// connections that come next, while those open keep the one they started
// with. A reload that fails keeps the current certificate.
#pragma once

#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <mutex>
#include <string>

namespace kaldo::tool::serve {

class tls_certificate {
 public:
  // Empty, with the reason in `*error`, when the files cannot be read or
  // the key is not the certificate's.
  static std::shared_ptr<tls_certificate> load(std::string certificate_file, std::string key_file,
                                               std::string* error);

  // False, with the reason, when the files now on disk cannot be used.
  bool reload(std::string* error);

  // What a new connection uses.
  std::shared_ptr<boost::asio::ssl::context> current() const;

 private:
  tls_certificate(std::string certificate_file, std::string key_file)
      : certificate_file_(std::move(certificate_file)), key_file_(std::move(key_file)) {}

  std::string certificate_file_, key_file_;
  mutable std::mutex mutex_;
  std::shared_ptr<boost::asio::ssl::context> context_;
};

}  // namespace kaldo::tool::serve
