// A real PostgreSQL server with PostGIS for the tests: a fresh data
// directory in a temporary directory, a unix socket there on a free port,
// no TCP, stopped and removed with the object. The server refuses to run as root, so as
// root it runs as the `postgres` user.
#pragma once

#include <memory>
#include <string>

namespace kaldo::tool::testing {

class postgres_server {
 public:
  // Empty with the reason in `*why` when PostgreSQL or PostGIS is missing
  // or the server does not start.
  static std::unique_ptr<postgres_server> start(std::string* why);
  ~postgres_server();

  // A new database with the PostGIS extension; its "PG:" connection string,
  // or empty with the reason in `*why`.
  std::string create_database(const std::string& name, std::string* why);

  // Stops the server, ending every connection to it, and starts it again
  // on the same data, socket and port: a database that goes away and
  // comes back. False with the reason in `*why`.
  bool stop(std::string* why);
  bool start_again(std::string* why);

  // Runs `sql` in database `name` through psql; the output, unaligned.
  std::string query(const std::string& name, const std::string& sql, std::string* why);

 private:
  postgres_server(std::string directory, std::string port)
      : directory_(std::move(directory)), port_(std::move(port)) {}
  std::string run(const std::string& command, std::string* why) const;
  std::string directory_;
  std::string port_;
};

}  // namespace kaldo::tool::testing
