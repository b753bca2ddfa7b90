// Decoded messages made by hand, for the fleet and sink tests: the values
// a real decoding gives, without depending on the decoder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kaldo/decode.h"
#include "tool/fleet.h"
#include "tool/fleet_builder.h"

namespace kaldo::tool::testing {

// A position at `iso_time` ("2008-05-17T12:30:05.250Z").
kaldo::position position_at(std::string_view iso_time, double latitude, double longitude,
                            kaldo::fix_state fix = kaldo::fix_state::valid,
                            bool emergency = false);

// A converted message of `modem_id` (empty: one that names no unit) with
// one report per position; an empty optional is a report the decoder
// could not make a position of.
kaldo::decoded_message message_of(std::string modem_id,
                                  std::vector<std::optional<kaldo::position>> positions,
                                  int message_type = 3);

// Three units: one with four points (a conflict among them, one emergency,
// vertical velocity on some), one whose Latin-1 id needs transcoding, and
// "No ModemID" with a single point.
kaldo::tool::fleet sample_fleet();

// Messages as trackers send them (built as the converter's tests build
// theirs), with the modem id a file name or a message tail gives them;
// the last one repeats the first one's first report.
struct generated_message {
  std::string modem_id;
  std::string bytes;
};
std::vector<generated_message> generated_messages();

// The fleet of their typed decoding.
kaldo::tool::fleet decoded_fleet();

// Writes `messages` to `destination` the way a run does: what the
// destination already holds first, then the new reports. `counts` and
// `appended` (whether the sink appended) are filled when given.
bool run_into(const std::string& destination, const std::vector<kaldo::decoded_message>& messages,
              std::string* error, fleet_counts* counts = nullptr, bool* appended = nullptr);

}  // namespace kaldo::tool::testing
