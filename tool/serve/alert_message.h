// What an emergency alert says, the same to every target: the report as
// one JSON object (the fields of the positions layer, with its latitude and
// longitude), the KALDO_* variables a program gets beside it, the report's
// key that the `alerts` table claims it by, and the Idempotency-Key a web
// service can drop a repeated POST by. All of them are made from the
// stored report alone, so that a process that sends an alert claimed by
// another (after a crash) sends the same bytes under the same key.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tool/fleet.h"

namespace kaldo::tool::serve {

// The report's key: modem id, time, latitude and longitude, the four
// values by which the store tells points apart.
std::string alert_key(const track_point& point);

// The report as one JSON object, on one line.
std::string alert_json(const track_point& point);

// The variables a program gets besides the receiver's own environment:
// "KALDO_MODEM_ID=...", "KALDO_TIME=...", "KALDO_LATITUDE=...",
// "KALDO_LONGITUDE=...".
std::vector<std::string> alert_environment(const std::string& modem_id, const std::string& time,
                                           double latitude, double longitude);

// A fixed-length, header-safe text (hexadecimal SHA-256) of alert_key().
std::string idempotency_key(const std::string& key);

// How long to wait after the `failures`-th failed attempt (1 for the
// first) before the next: doubling from a second, at most five minutes.
std::chrono::seconds alert_backoff(int failures);

// A number as the shortest text that reads back as the same double.
std::string shortest_number(double value);

}  // namespace kaldo::tool::serve
