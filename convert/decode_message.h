// The one operation that turns a message into output text.
//
// Input mode 0 gives the binary SBD payload; input mode 2 an SMS text whose
// first report is written in hexadecimal. The message is classified (remote
// update responses and chat messages are answered with a sentence), checked
// for its length and type, and its reports are walked in the record's
// output format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/gps_report_convert.h"

namespace kaldo::detail {

// Returns 0 with the converted text in `out`, or -1 with the text to print
// after "Error: ". Reads only bytes[0, length).
int decode_message(gps_report_convert& record, const unsigned char* bytes,
                   std::size_t length, std::string& out);

// The answer for an SBD payload too long for any message, of which only
// the first `available` bytes were kept: a remote update response, or an
// invalid length.
int decode_oversized_payload(gps_report_convert& record,
                             const unsigned char* bytes, std::size_t available,
                             std::uint64_t length, std::string& out);

}  // namespace kaldo::detail
