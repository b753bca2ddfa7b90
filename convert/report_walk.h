// The walk over the reports of a message that passed its checks, and the
// framing the chosen format puts around them: the GPSI document, the status
// line of the first report, the "Missed" lines and the modem id line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "decode/gps_report_convert.h"
#include "decode/message_layout.h"
#include "decode/report_fields.h"
#include "formats/format_table.h"

namespace kaldo::detail {

// Copies the 28 bytes at `bytes` into the record's slot for its message type.
void copy_report(gps_report_convert& record, const unsigned char* bytes);

// Decodes the reports of the checked message `work` one after the other
// into `record`, and hands each one that decoded to `visit(index)`. Returns
// false when a report fails to decode: `error_text` then holds why, after
// whatever the visit of the report before it recorded. Shared by the text
// and the typed walk, so that both fail at the same report.
template <typename Visit>
bool decode_each_report(gps_report_convert& record, const unsigned char* work,
                        Visit&& visit) {
  const std::size_t count = work[1];
  for (std::size_t i = 0; i < count; ++i) {
    copy_report(record, work + report_offset(i));
    decode_report_fields(record);
    // Also catches what the visit of the previous report recorded.
    if (!record.error_text.empty()) return false;
    visit(i);
  }
  return true;
}

// Decodes and formats every report of the binary message `work`. Returns 0
// with the output in `out`, or -1 with the collected error text. On success
// `known_modem_id`, when given, receives the modem id the output names
// (empty when it has none), before any placeholder stands in for it.
int walk_reports(gps_report_convert& record, const unsigned char* work,
                 std::size_t work_length, std::string& out,
                 std::optional<std::string>* known_modem_id = nullptr);

std::string status_line(const gps_report_convert& record, status_line_kind kind);

// "Missed i" before report `index` of `count`, or an empty text.
std::string missed_line(std::size_t count, std::size_t index);

std::string modem_id_line(gps_report_convert& record, modem_id_line_kind kind);

// After the reports: the modem id of the message tail replaces the given
// one when a report announced it.
void take_modem_id_from_message(gps_report_convert& record,
                                const unsigned char* work, std::size_t work_length);

// The modem id as the labelled line and the id element print it: an empty
// one becomes "No ModemID".
const std::string& printed_modem_id(gps_report_convert& record);

// Replaces the modem id with the one the message tail carries: up to a
// carriage return or NUL byte; underscores of an SBD payload are spaces; a
// type 103 message writes it in the GSM alphabet.
void read_modem_id_from_tail(gps_report_convert& record,
                             const unsigned char* tail, std::size_t length);

}  // namespace kaldo::detail
