// Decoding of one 28-byte position report into the record's field texts.
//
// Message types 1 and 2 send a binary layout (unsigned 8- and 16-bit
// integers, little-endian); types 3 and 103 a packed decimal layout (two
// digits per byte, with the count of whole digits sent beside each
// variable-length quantity). The decoder reads only the 28-byte slot of the
// message type and leaves the fields unpadded; formatters pad them.
#pragma once

#include "decode/gps_report_convert.h"

namespace kaldo::detail {

inline constexpr double kmh_to_knots = 0.5399568;

// Decodes the report in the slot of `record.message_type`. May append
// "Invalid Altitude" or "Invalid Velocity" to `error_text` (the call then
// stops there) and may set `modem_id_in_message`.
void decode_report_fields(gps_report_convert& record);

// The knots text: "0.0" for exactly zero, else the value with "%.2f".
void set_knots_text(text_field& field, double knots);

}  // namespace kaldo::detail
