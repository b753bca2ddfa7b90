// Instants as ISO 8601 UTC text with milliseconds,
// "2008-05-17T12:30:05.250Z": how every output writes a time where it has
// no date-time type (the map page, DBF, CSV, KML's extended data), and how
// an earlier run's text is read back. One writer and its reader here, so
// that what is read back is what was written.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "kaldo/decode.h"

namespace kaldo::tool {

std::string utc_iso8601(kaldo::utc_time time);

// The present instant, as utc_iso8601 writes it.
std::string utc_now_iso8601();

// Empty when `text` is not of that form.
std::optional<kaldo::utc_time> parse_iso8601(std::string_view text);

// The instant of a calendar date and clock time, UTC; empty when they name
// no real instant (a 31 April, an hour 24, a second 60).
std::optional<std::chrono::sys_seconds> utc_instant(int year, unsigned month, unsigned day,
                                                    unsigned hour, unsigned minute, unsigned second);

}  // namespace kaldo::tool
