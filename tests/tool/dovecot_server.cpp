#include "tests/tool/dovecot_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace kaldo::tool::testing {

namespace {

const char* const dovecot_program = "/usr/sbin/dovecot";

bool run(const std::string& command, std::string* why) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
  *why = "failed: " + command;
  return false;
}

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return connected;
}

struct mail_user {
  std::string login;     // runs imap-login
  std::string internal;  // runs the server's own processes
  std::string group;
  uid_t uid;
  gid_t gid;
};

}  // namespace

int free_loopback_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

std::unique_ptr<dovecot_server> dovecot_server::start(std::string* why, const std::string& settings) {
  if (!std::filesystem::exists(dovecot_program)) {
    *why = "Dovecot is not installed (no /usr/sbin/dovecot; tools/install-packages installs dovecot-imapd)";
    return nullptr;
  }
  mail_user as;
  if (geteuid() == 0) {
    // getpwnam answers in one static buffer: dovenull is asked first.
    const bool login_user = getpwnam("dovenull") != nullptr;
    const passwd* internal = getpwnam("dovecot");
    if (internal == nullptr || !login_user) {
      *why = "running as root without the dovecot and dovenull users";
      return nullptr;
    }
    as = {"dovenull", "dovecot", "dovecot", internal->pw_uid, internal->pw_gid};
  } else {
    const passwd* me = getpwuid(geteuid());
    if (me == nullptr) {
      *why = "the user running the tests has no name";
      return nullptr;
    }
    as = {me->pw_name, me->pw_name, "", me->pw_uid, me->pw_gid};
  }
  char pattern[] = "/tmp/kaldo-dovecot-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    *why = "cannot make a temporary directory";
    return nullptr;
  }
  // Its processes run as other users, who read the configuration and
  // users here; the mail itself is handed to the mail user.
  chmod(pattern, 0755);
  std::unique_ptr<dovecot_server> server(new dovecot_server(pattern, free_loopback_port(), free_loopback_port()));
  const std::string& dir = server->directory_;
  std::filesystem::create_directories(dir + "/run");
  std::filesystem::create_directories(dir + "/mail");
  if (!run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
           "-addext subjectAltName=DNS:localhost -keyout '" + dir + "/key.pem' -out '" + dir + "/cert.pem'",
           why)) {
    return nullptr;
  }
  std::ofstream(dir + "/passwd") << user << ":{PLAIN}" << password << "::::::\n";
  std::ofstream conf(dir + "/dovecot.conf");
  conf << "base_dir = " << dir << "/run\n"
       << "state_dir = " << dir << "/run\n"
       << "instance_name = " << std::filesystem::path(dir).filename().string() << "\n"
       << "listen = 127.0.0.1\nprotocols = imap\nssl = yes\n"
       << "ssl_cert = <" << dir << "/cert.pem\nssl_key = <" << dir << "/key.pem\n"
       << "default_login_user = " << as.login << "\ndefault_internal_user = " << as.internal << "\n"
       << (as.group.empty() ? "" : "default_internal_group = " + as.group + "\n")
       << "log_path = " << dir << "/log\nauth_mechanisms = plain\ndisable_plaintext_auth = no\n"
       << "first_valid_uid = 1\n"
       << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << dir << "/passwd\n}\n"
       << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << dir << "/passwd\n"
       << "  default_fields = uid=" << as.uid << " gid=" << as.gid << " home=" << dir << "/home/%u mail=maildir:"
       << dir << "/mail/%u\n}\n"
       << "service imap-login {\n  chroot =\n"
       << "  inet_listener imap {\n    address = 127.0.0.1\n    port = " << server->imap_port_ << "\n  }\n"
       << "  inet_listener imaps {\n    address = 127.0.0.1\n    port = " << server->imaps_port_
       << "\n    ssl = yes\n  }\n}\n"
       << "service anvil {\n  chroot =\n}\n"
       << settings << "\n";
  conf.close();
  if (!server->hand_over_mail(why) || !run(std::string(dovecot_program) + " -c '" + dir + "/dovecot.conf'", why)) {
    return nullptr;
  }
  for (int tries = 0; tries < 100; ++tries) {
    if (accepts(server->imap_port_) && accepts(server->imaps_port_)) return server;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *why = "Dovecot did not start listening within 5 s (see " + dir + "/log)";
  return nullptr;
}

bool dovecot_server::hand_over_mail(std::string* why) const {
  if (geteuid() != 0) return true;
  return run("chown -R dovecot:dovecot '" + directory_ + "/mail'", why);
}

dovecot_server::~dovecot_server() {
  std::string ignored;
  if (std::filesystem::exists(directory_ + "/run/master.pid")) {
    run(std::string(dovecot_program) + " -c '" + directory_ + "/dovecot.conf' stop", &ignored);
  }
  std::error_code error;
  if (std::getenv("KALDO_KEEP_DOVECOT") == nullptr) std::filesystem::remove_all(directory_, error);
}

}  // namespace kaldo::tool::testing
