// A real Dovecot for the tests: its own configuration in a temporary
// directory, a passwd-file user "fleet", mail in Maildir folders there,
// plain IMAP and IMAPS on free ports of 127.0.0.1 with a certificate for
// "localhost" made with the openssl program. Stopped and removed with the
// object. As root, its processes run as the dovecot and dovenull users
// (it refuses root); otherwise as the user running the tests.
// KALDO_KEEP_DOVECOT=1 keeps the directory, its log among it, for a look.
#pragma once

#include <memory>
#include <string>

namespace kaldo::tool::testing {

class dovecot_server {
 public:
  static constexpr const char* user = "fleet";
  static constexpr const char* password = "pass word 22";

  // Empty with the reason in `*why` when Dovecot is missing or does not
  // start. `settings` go at the end of its configuration
  // ("imap_capability = ...").
  static std::unique_ptr<dovecot_server> start(std::string* why, const std::string& settings = "");
  ~dovecot_server();

  int imap_port() const { return imap_port_; }
  int imaps_port() const { return imaps_port_; }
  // The certificate of the server, which is also its own CA (PEM).
  std::string ca_file() const { return directory_ + "/cert.pem"; }
  // The user's Maildir: its INBOX, and folders as ".Name" in it.
  std::string maildir() const { return directory_ + "/mail/fleet"; }
  const std::string& directory() const { return directory_; }
  // Hands the mail written by the tests to the server's mail user.
  bool hand_over_mail(std::string* why) const;

 private:
  dovecot_server(std::string directory, int imap_port, int imaps_port)
      : directory_(std::move(directory)), imap_port_(imap_port), imaps_port_(imaps_port) {}
  std::string directory_;
  int imap_port_;
  int imaps_port_;
};

// A TCP port of 127.0.0.1 no one listens on now.
int free_loopback_port();

}  // namespace kaldo::tool::testing
