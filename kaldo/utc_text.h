// Instants as ISO 8601 text, for outputs that have no date-time type
// (DBF, CSV, KML's extended data): "2008-05-17T12:30:05.250Z", the
// milliseconds always written so that texts sort as the instants do.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kaldo/decode.h"

namespace kaldo::tool {

std::string iso8601(kaldo::utc_time time);

// Reads what iso8601 writes; empty when `text` is not of that form.
std::optional<kaldo::utc_time> parse_iso8601(std::string_view text);

}  // namespace kaldo::tool
