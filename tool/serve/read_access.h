// Who may read what `kaldo serve --http` shows: the map, the API, events,
// metrics. The positions of a fleet are not for everyone: with a token
// set, every request carries it; without one, only this machine is
// answered unless the user opens reading to all.
//
// The token may come as a bearer token, as the password of HTTP Basic
// (which is what GIS desktop programs and GDAL can be told to send), or as
// the `token` query parameter (what a page can pass on to its own
// requests). Pages are answered with `Referrer-Policy: no-referrer`, so a
// token in the address never leaves with a link followed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tool/serve/http_routes.h"

namespace kaldo::tool::serve {

struct read_access {
  std::string token;         // empty: no token asked for
  bool public_read = false;  // without a token: answer every peer, not loopback only
};

enum class read_verdict {
  allowed,
  no_token,       // 401: a token is set up and the request did not carry it
  loopback_only,  // 403: no token set up, reading limited to this machine
};

// The secret the request carries: the bearer token, the Basic password, or
// the `token` query parameter, in that order of preference. None when it
// carries none, or an Authorization header that cannot be read.
std::optional<std::string> presented_token(const http_request& request);

read_verdict check_read(const http_request& request, const read_access& access);

// `handler` behind the check: refused requests are answered 401 (with the
// schemes a client may use) or 403, and every answer the handler gives
// carries Referrer-Policy: no-referrer.
http_handler guarded(http_handler handler, read_access access);

// Every route behind the check.
std::vector<http_route> guarded(std::vector<http_route> routes, const read_access& access);

}  // namespace kaldo::tool::serve
