// The numbers of a report read straight from its 28 bytes.
//
// Most reports are plain: every field names a real instant and place and
// fits the width format 7 prints it in, and no rounding carries. For such a
// report the values follow from the bytes with a few integer operations,
// and they are the very doubles the field texts would give (each value is
// one correctly rounded division of the same exact integers).
//
// Any other report is left to the field texts, which know how format 7
// pads, rounds, carries and fails: this reader then says no and touches
// nothing.
#pragma once

#include <cstdint>

#include "kaldo/decode.h"

namespace kaldo::detail {

struct plain_report_context {
  int message_type = 0;        // 1 and 2 binary, 3 and 103 packed
  std::int64_t century = 20;   // put in front of the two-digit year
};

// Fills `out` (a fresh report; its index is the caller's) and returns true
// when the report at `bytes` is plain. `modem_id_in_message` is set when
// the report announces the modem id in the message tail.
bool read_plain_report(const unsigned char* bytes, const plain_report_context& context,
                       report& out, bool& modem_id_in_message);

// The typed decoding with every report read through the field texts, plain
// or not: what the plain reading must agree with, value for value.
decoded_message decode_message_through_fields(const message& msg, const settings& how);

}  // namespace kaldo::detail
