// What became of one message of a run: the record the summary counts, the
// report lists and the progress line shows, in input order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kaldo/kaldo.h"
#include "tool/message_origin.h"

namespace kaldo::tool {

enum class message_status { converted, failed, not_position_report, duplicate };

// "converted", "failed", "not_position_report", "duplicate".
const char* to_string(message_status status);

struct message_outcome {
  std::uint64_t number = 0;            // from 1, in input order
  message_origin origin;               // as the message was found
  std::string modem_id;                // Latin-1 bytes; empty when none is known
  std::optional<std::string> output;   // raw path bytes of the file written
  message_status status = message_status::failed;
  std::string error;                   // failed: the reason, without line ends
  std::optional<std::uint64_t> duplicate_of;  // duplicate: the number it repeats
  // Set when the output could not be written; the run cannot go right.
  bool output_not_written = false;
};

// The status of a message the library converted or decoded with `result`.
message_status status_of(kaldo::outcome result);

// A failure text as the summary and the report list it: without the
// "Error: " the program prints before it, or the line ends some texts carry.
std::string error_line(std::string text);
std::string error_line(kaldo::read_refusal refusal);

}  // namespace kaldo::tool
