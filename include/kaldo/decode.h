// Decoding tracker messages into numbers: each report's time, position and
// motion, for programs that compute with positions rather than print them.
//
// The values are those that format 7 (Easy to Read Text after version 3.2)
// prints, at the full precision the report carries: a message fails here
// exactly where format 7 fails, with the same text.
//
// Threads: every call here is reentrant; many threads may decode at once.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "kaldo/convert.h"
#include "kaldo/export.h"

namespace kaldo {

// The instant of a report, UTC. Reports of the binary layout (message
// types 1 and 2) carry milliseconds, those of the packed decimal layout
// (types 3 and 103) hundredths of a second; `time_precision` says which.
using utc_time = std::chrono::sys_time<std::chrono::milliseconds>;
enum class time_precision { milliseconds, hundredths };

// The fix a report was taken with. The packed decimal layout tells four
// states apart; the binary layout only whether the fix was valid.
enum class fix_state {
  none,            // packed: no fix
  fix_2d,          // packed: a valid two-dimensional fix
  fix_3d,          // packed: a valid three-dimensional fix
  dead_reckoning,  // packed: no fix, position dead-reckoned
  valid,           // binary: a valid fix
  invalid,         // binary: no valid fix
};

// "none", "2d", "3d", "dead_reckoning", "valid", "invalid".
KALDO_API const char* to_string(fix_state fix) noexcept;

struct position {
  utc_time time{};
  time_precision precision = time_precision::milliseconds;
  double latitude = 0;    // decimal degrees, south negative
  double longitude = 0;   // decimal degrees, west negative
  double altitude_m = 0;  // metres
  double speed_kmh = 0;   // ground speed
  double course_deg = 0;  // course over ground, degrees from true north
  std::optional<double> vertical_velocity_ms;  // packed layout only
  int satellites = 0;     // satellites used
  fix_state fix = fix_state::invalid;
  bool emergency = false;  // packed layout only; false for the binary one
};

struct report {
  int index = 0;  // 0 for the first report of the message
  // Absent when the report's texts make no real instant or position (a
  // month 13, a second 61, a latitude beyond 90 degrees): `problem` then
  // says why. Nothing is guessed.
  std::optional<kaldo::position> position;
  std::string problem;
};

struct decoded_message {
  outcome result = outcome::failed;  // converted when the reports decoded
  message_kind kind = message_kind::position_reports;
  // When not converted: the text format 7 fails with, as in conversion.
  // The fields below are then left empty.
  std::string error;
  int message_type = 0;  // 1, 2, 3 or 103
  // The modem id: the given one, or the one the message tail carries
  // (Latin-1 bytes, as the message has them). Empty when there is neither.
  std::optional<std::string> known_modem_id;
  // Deprecated: known_modem_id says the same without a placeholder. The
  // modem id as format 7 prints it, "No ModemID" when there is none.
  std::string modem_id;
  std::vector<report> reports;
};

// Decodes one message with `how.century` and `how.modem_id`; `how.format`
// is not used. Reads only the bytes of `msg`. Never throws but
// std::bad_alloc.
KALDO_API decoded_message decode_message(const message& msg, const settings& how);

}  // namespace kaldo
