// Turning the public settings and message into a decoder record, and the
// record's classification back into the public kinds: shared by the text
// conversion and the typed decoding so that both read a message alike.
#pragma once

#include <optional>
#include <string>

#include "decode/gps_report_convert.h"
#include "kaldo/convert.h"

namespace kaldo::detail {

// The text that refuses `how`, or nothing when it is in range. `check_format`
// is false for the typed decoding, which has no format.
std::optional<std::string> settings_problem(const settings& how, bool check_format);

// A fresh record with the settings applied, as the program's one run
// leaves it before decoding: input mode, century, format, modem id.
void prepare_record(gps_report_convert& record, const settings& how,
                    encoding kind, int format_number);

// Runs the decoder on `msg` (the oversized answer when only its first bytes
// are there) and fills `result`, `kind` and `text` of a conversion.
conversion run_decoder(gps_report_convert& record, const message& msg);

}  // namespace kaldo::detail
