// The stored fleet for GIS programs, under /api: collections `positions`,
// `tracks` and `messages` (the last without geometry) as GeoJSON pages,
// with the landing page, conformance classes and an OpenAPI 3.0 document
// that clients read to learn what is there.
//
// Pages follow feature ids, not offsets: a `next` link names the last id
// returned, so points stored while a client pages neither shift what it
// has not read yet nor come twice. Queries run on a reader thread with its
// own connection to the store (a GeoPackage in WAL mode lets it read
// beside the writer), never on the listeners' thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tool/serve/http_routes.h"

namespace kaldo::tool::serve {

inline constexpr std::size_t default_page_size = 1000;
inline constexpr std::size_t most_page_size = 10000;

struct features_settings {
  std::string destination;      // the store, as given to --store
  std::string scheme = "http";  // of the links: "https" behind TLS
  // Requests waiting for the reader beyond this many are answered 503.
  std::size_t most_waiting = 64;
};

// What /items was asked for, once read from the query.
struct items_query {
  std::size_t limit = default_page_size;
  std::optional<std::int64_t> after;  // the last feature id of the page before
  std::optional<std::array<double, 4>> bbox;  // west, south, east, north
  // ISO 8601 UTC with milliseconds, as the store keeps times; empty: open.
  std::string from, to;
  std::optional<std::string> modem_id;
};

// The query of an /items request; the reason of a 400 in `*error`.
std::optional<items_query> parse_items_query(std::string_view target, std::string* error);

class features_api {
 public:
  virtual ~features_api() = default;
  // The route of /api and below.
  virtual http_route route() = 0;
};

// The API over the store at settings.destination, which must exist. Its
// reader connects on the first request (and again after a failure).
std::unique_ptr<features_api> open_features_api(features_settings settings);

}  // namespace kaldo::tool::serve
