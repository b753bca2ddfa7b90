// What the --http port serves beside the providers' webhook: pages, the
// API, event streams, metrics. Each is a route of one table, matched by
// its path; a route's handler answers through an http_exchange, at once or
// later (from any thread), or keeps it open as a stream of events.
//
// A handler runs on the listeners' thread: work that waits (a query of the
// store) goes elsewhere, and the answer comes back through the exchange.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kaldo::tool::serve {

struct http_request {
  std::string method;  // "GET", "HEAD", "POST", ...
  std::string target;  // as sent, with its query (which may hold a token: never log it)
  std::string path;    // the target before "?"
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string peer;             // "192.0.2.7:40112"
  bool from_loopback = false;   // the peer is this machine

  // The header's value; empty when not sent.
  const std::string& header(const std::string& lower_case_name) const;
};

struct http_answer {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type
  std::string body;
};

// One request's answer. Every call is safe from any thread; the first of
// answer() or open_stream() counts, later calls are ignored.
class http_exchange {
 public:
  virtual ~http_exchange() = default;

  virtual void answer(http_answer answer) = 0;

  // Sends the status and headers of a response whose body follows piece by
  // piece (chunked), for server-sent events: no timeout applies to it.
  virtual void open_stream(http_answer head, std::size_t most_pending_bytes) = 0;
  // Queues a piece of the stream; false once the client has left, or
  // fell behind by more than the bytes given to open_stream (the
  // connection is then closed: the client reconnects and catches up).
  virtual bool send(std::string piece) = 0;
  // Ends the stream and closes the connection.
  virtual void end() = 0;
  // False once the client has left or the stream has ended.
  virtual bool open() const = 0;
};

using http_handler = std::function<void(const http_request& request, std::shared_ptr<http_exchange> exchange)>;

struct http_route {
  // "/" matches the path "/" alone; any other path matches itself and what
  // lies below it ("/api" matches "/api" and "/api/collections").
  std::string path;
  http_handler handler;
};

// The route for `path`: the longest that matches; null when none does.
const http_route* route_for(const std::vector<http_route>& routes, const std::string& path);

}  // namespace kaldo::tool::serve
