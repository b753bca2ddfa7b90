// The SMS text form of a message: the type character, the report count as
// one decimal digit, the first report as 56 hexadecimal digits, then the
// rest of the message as it is.
#pragma once

#include <cstddef>
#include <string>

namespace kaldo::detail {

inline constexpr std::size_t sms_hex_end = 58;  // the text that is hexadecimal ends here

// Converts an SMS text of at least 58 characters into the binary message,
// 28 bytes shorter. Returns false on a character in positions 2 to 57 that
// is not "0" to "9" or "A" to "F".
bool convert_sms_text(const unsigned char* text, std::size_t length,
                      std::string& work);

}  // namespace kaldo::detail
