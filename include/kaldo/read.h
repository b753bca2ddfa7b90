// Reading a saved message: a file as Kaldo_Command_Line reads it, an SMS
// e-mail's bytes, or an SBD attachment's payload with its name. Each gives
// the message to convert or decode, with the modem id found outside it (in
// the name or the Subject line), or the reason it cannot be read.
//
// Threads: every call here is reentrant.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kaldo/convert.h"
#include "kaldo/export.h"

namespace kaldo {

// Why a saved message cannot be converted at all.
enum class read_refusal {
  cannot_read_sbd,    // an .sbd file that cannot be opened or read
  cannot_read_email,  // an .eml file that cannot be opened or read
  no_email_body,      // an SMS e-mail without the blank line before its body
  unknown_extension,  // a file name that ends in none of .sbd .SBD .eml .EML
};

// What Kaldo_Command_Line prints for a refusal, byte for byte:
// "Cannot Open File.\r\n", "Error:Cannot Open File", "Error:Invalid Format",
// "Invalid File Extension".
KALDO_API std::string_view printed(read_refusal refusal) noexcept;

// The exit status Kaldo_Command_Line ends with after a refusal: 1 for an
// .sbd file that cannot be read, -1 for every other.
KALDO_API int exit_status(read_refusal refusal) noexcept;

struct saved_message {
  // Set when the message cannot be read; the fields below are then empty.
  std::optional<read_refusal> refusal;
  encoding kind = encoding::sbd_payload;
  // sbd_payload: the payload's first bytes, at most max_message_bytes + 1
  // (enough to answer for any longer one). sms_text: the message text of
  // the e-mail's body.
  std::string bytes;
  std::uint64_t full_length = 0;  // sbd_payload: the payload's whole length
  // From the file or attachment name (empty when it gives none), or from
  // the Subject line ("UNKNOWN" when it has no "@"). A message that carries
  // its own id in its tail replaces it when converted.
  std::string modem_id;

  bool ok() const noexcept { return !refusal.has_value(); }
  // The message to convert or decode; valid while this object is.
  message view() const noexcept {
    return message{bytes, kind, full_length > bytes.size() ? full_length : 0};
  }
  // `how` with this message's modem id.
  settings with_modem_id(settings how) const {
    how.modem_id = modem_id;
    return how;
  }
};

// Reads the file at `path` (UTF-8) as Kaldo_Command_Line does: the
// extension picks the encoding, the modem id comes from the file name or
// the Subject line. Reads at most max_message_bytes + 1 bytes of an .sbd
// file. Never throws but std::bad_alloc.
KALDO_API saved_message read_message_file(std::string_view path);

// The raw bytes of an SMS e-mail, read as a saved .eml file is.
KALDO_API saved_message read_sms_email_message(std::string_view raw_email);

// An SBD attachment's payload, of which `payload` holds the first bytes
// and `full_length` the whole length (0: `payload` is whole), with the
// modem id from `name` (the attachment's or file's name).
KALDO_API saved_message read_sbd_attachment(std::string_view name, std::string_view payload,
                                            std::uint64_t full_length = 0);

}  // namespace kaldo
