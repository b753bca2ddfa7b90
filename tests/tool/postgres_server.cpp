#include "tests/tool/postgres_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace kaldo::tool::testing {
namespace {

const std::string bin = "/usr/lib/postgresql/15/bin/";
const std::string postgis_control = "/usr/share/postgresql/15/extension/postgis.control";

// A port no one listens on now. The server listens on its unix socket
// only, in its own directory, but the port still names the socket and
// its lock file, and a free one keeps clear of any server running here.
std::string free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 54329;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return std::to_string(port);
}

}  // namespace

std::string postgres_server::run(const std::string& command, std::string* why) const {
  const std::string as_server = geteuid() == 0 ? "runuser -u postgres -- " : "";
  const std::string full = as_server + command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) {
    *why = "cannot run " + command;
    return {};
  }
  std::string output;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  if (pclose(pipe) != 0) *why = command + " failed: " + output;
  return output;
}

std::unique_ptr<postgres_server> postgres_server::start(std::string* why) {
  if (!std::filesystem::exists(bin + "initdb") || !std::filesystem::exists(bin + "pg_ctl")) {
    *why = "PostgreSQL 15 is not installed (no " + bin + "initdb)";
    return nullptr;
  }
  if (!std::filesystem::exists(postgis_control)) {
    *why = "PostGIS for PostgreSQL 15 is not installed";
    return nullptr;
  }
  if (geteuid() == 0 && getpwnam("postgres") == nullptr) {
    *why = "running as root without a postgres user to run the server as";
    return nullptr;
  }
  char pattern[] = "/tmp/kaldo-pg-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    *why = "cannot make a temporary directory";
    return nullptr;
  }
  std::unique_ptr<postgres_server> server(new postgres_server(pattern, free_port()));
  if (geteuid() == 0) {
    const passwd* user = getpwnam("postgres");
    if (chown(pattern, user->pw_uid, user->pw_gid) != 0) {
      *why = "cannot hand the temporary directory to postgres";
      return nullptr;
    }
  }
  const std::string data = server->directory_ + "/data";
  server->run(bin + "initdb -D " + data + " -U postgres -A trust -E UTF8 --no-locale --no-sync",
              why);
  if (!why->empty()) return nullptr;
  if (!server->start_again(why)) return nullptr;
  return server;
}

bool postgres_server::start_again(std::string* why) {
  run(bin + "pg_ctl -D " + directory_ + "/data -l " + directory_ + "/log -w -o \"-k " +
          directory_ + " -p " + port_ + " -c listen_addresses='' -c fsync=off\" start",
      why);
  return why->empty();
}

bool postgres_server::stop(std::string* why) {
  run(bin + "pg_ctl -D " + directory_ + "/data -m fast -w stop", why);
  return why->empty();
}

postgres_server::~postgres_server() {
  std::string ignored;
  if (std::filesystem::exists(directory_ + "/data/postmaster.pid")) {
    run(bin + "pg_ctl -D " + directory_ + "/data -m fast -w stop", &ignored);
  }
  std::error_code error;
  std::filesystem::remove_all(directory_, error);
}

std::string postgres_server::query(const std::string& name, const std::string& sql,
                                   std::string* why) {
  return run(bin + "psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + directory_ + " -p " + port_ +
                 " -U postgres -d " + name + " -c \"" + sql + "\"",
             why);
}

std::string postgres_server::create_database(const std::string& name, std::string* why) {
  query("postgres", "CREATE DATABASE " + name, why);
  if (!why->empty()) return {};
  query(name, "CREATE EXTENSION postgis", why);
  if (!why->empty()) return {};
  return "PG:host=" + directory_ + " port=" + port_ + " dbname=" + name + " user=postgres";
}

}  // namespace kaldo::tool::testing
