// Turning the public settings and message into a decoder record, and the
// record's classification back into the public kinds: shared by the text
// conversion and the typed decoding so that both read a message alike.
#pragma once

#include <optional>
#include <string>

#include "convert/decode_message.h"
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

// Classifies and checks `msg` (the oversized answer when only its first
// bytes are there). Returns 0 when its reports are to be walked from
// `work`, or -1 with the answer in `out`.
int open_public_message(gps_report_convert& record, const message& msg,
                        message_work& work, std::string& out);

// What the record's classification flags make of the message.
message_kind kind_of(const gps_report_convert& record);
// The outcome of a decoder result (0 or -1) for the record's message.
outcome outcome_of(const gps_report_convert& record, int status);

// Runs the decoder on `msg` and fills `result`, `kind` and `text` of a
// conversion.
conversion run_decoder(gps_report_convert& record, const message& msg);

}  // namespace kaldo::detail
