// Instants read back from ISO 8601 text, as utc_iso8601 (map_page.h)
// writes them for outputs without a date-time type (DBF, CSV, KML's
// extended data): "2008-05-17T12:30:05.250Z".
#pragma once

#include <optional>
#include <string_view>

#include "kaldo/decode.h"

namespace kaldo::tool {

// Empty when `text` is not of that form.
std::optional<kaldo::utc_time> parse_iso8601(std::string_view text);

}  // namespace kaldo::tool
