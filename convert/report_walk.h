// The walk over the reports of a message that passed its checks, and the
// framing the chosen format puts around them: the GPSI document, the status
// line of the first report, the "Missed" lines and the modem id line.
#pragma once

#include <cstddef>
#include <string>

#include "decode/gps_report_convert.h"
#include "formats/format_table.h"

namespace kaldo::detail {

// Decodes and formats every report of the binary message `work`. Returns 0
// with the output in `out`, or -1 with the collected error text.
int walk_reports(gps_report_convert& record, const unsigned char* work,
                 std::size_t work_length, std::string& out);

std::string status_line(const gps_report_convert& record, status_line_kind kind);

// "Missed i" before report `index` of `count`, or an empty text.
std::string missed_line(std::size_t count, std::size_t index);

std::string modem_id_line(gps_report_convert& record, modem_id_line_kind kind);

// Replaces the modem id with the one the message tail carries: up to a
// carriage return or NUL byte; underscores of an SBD payload are spaces; a
// type 103 message writes it in the GSM alphabet.
void read_modem_id_from_tail(gps_report_convert& record,
                             const unsigned char* tail, std::size_t length);

}  // namespace kaldo::detail
