// Where a message's modem id comes from when it is not in the message:
// the name of a saved .sbd file or attachment, or the Subject line of an
// SMS e-mail. Both rules are those of Kaldo_Command_Line.
//
// Threads: every call here is reentrant.
#pragma once

#include <string>
#include <string_view>

#include "kaldo/export.h"

namespace kaldo {

// The modem id of a file or attachment name such as
// "300234010123450_000123.sbd": the digits before the last underscore-led
// group of the last path component ("/" and "\" both end it). Empty when
// those are not 1 to 15 digits.
KALDO_API std::string modem_id_from_file_name(std::string_view name);

// How a saved message file is read, by its extension: ".sbd" and ".SBD",
// ".eml" and ".EML" (exactly these spellings), anything else.
enum class file_kind { sbd_attachment, sms_email, other };
KALDO_API file_kind file_kind_of(std::string_view name);

// An SMS e-mail's modem id and message text.
struct sms_email {
  bool ok = false;        // false: the e-mail has no blank line, so no body
  std::string modem_id;   // digits directly before the Subject's first "@",
                          // "UNKNOWN" without an "@"
  std::string message;    // the body after the first blank line, trailing
                          // line ends trimmed; to convert with encoding::sms_text
};

// Reads the raw bytes of an SMS e-mail as Kaldo_Command_Line reads a saved
// .eml file. No transfer encoding or MIME structure is interpreted.
KALDO_API sms_email read_sms_email(std::string_view raw_email);

}  // namespace kaldo
