// GSM 7-bit default alphabet (one code per byte) to ISO 8859-1.
//
// Trackers of message type 103 send the modem id in the GSM alphabet. Codes
// for which ISO 8859-1 has no character, and escaped codes outside the
// extension table, come back unchanged.
#pragma once

#include <string>

namespace kaldo::detail {

unsigned char gsm_char_to_latin1(unsigned char code, bool escaped);

// An escape (27) selects the extension table for the next code; an escape
// as the last code appends nothing.
std::string gsm_to_latin1(const std::string& text);

}  // namespace kaldo::detail
