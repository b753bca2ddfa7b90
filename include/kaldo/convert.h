// Converting tracker messages into text, exactly as Kaldo_Command_Line
// prints them.
//
// A message reaches a program in one of two encodings: the raw payload of
// an SBD attachment, or the text of an SMS e-mail's body (its first report
// written in hexadecimal). Either is converted into one of ten text
// formats: 1 and 6 GPSI XML String, 2 and 7 Easy to Read Text, 3 and 8
// Compact Delimited Text, 4 and 9 Original Text format from 2Way Mode,
// 5 and 10 NMEA GGA and VTG format; 1 to 5 are the generation before
// version 3.2, 6 to 10 the one after it.
//
// Threads: every call here is reentrant. No call keeps state between
// calls or shares any, so many threads may convert at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kaldo/export.h"

namespace kaldo {

// The format numbers, first to last. Every check of a format number is
// this one.
inline constexpr int first_format = 1;
inline constexpr int last_format = 10;
constexpr bool is_format_number(int number) noexcept {
  return number >= first_format && number <= last_format;
}

// The name of format `number`, as the program's usage text lists it
// ("GPSI XML String", ...); empty for a number out of range.
KALDO_API const char* format_name(int number) noexcept;

// The longest message: a type byte, a report count, 255 reports of 28
// bytes and a tail of 69 bytes. Anything longer is refused for its length;
// its first max_message_bytes + 1 bytes and its length are all the answer
// needs.
inline constexpr std::size_t max_message_bytes = 2 + 28 * 255 + 69;

// How the bytes of a message are written.
enum class encoding {
  sbd_payload,  // the binary payload of an .sbd attachment
  sms_text,     // the message text of an SMS e-mail's body
};

// The settings of one conversion.
struct settings {
  int format = 7;              // first_format to last_format
  std::string century = "20";  // two digits put before two-digit years
  // The sending modem's id, as the file name or the Subject line gives it
  // (see kaldo/names.h). A message that carries its own id in its tail
  // replaces it.
  std::string modem_id;
};

// The bytes of one message.
struct message {
  std::string_view bytes;
  encoding kind = encoding::sbd_payload;
  // The payload's whole length when `bytes` holds only its first bytes (an
  // attachment too long for any message need not be read whole: its first
  // max_message_bytes + 1 bytes and its length decide the answer).
  // 0: `bytes` is whole.
  std::uint64_t full_length = 0;
};

// What a message turned out to be.
enum class message_kind {
  position_reports,
  remote_update_response,
  chat_message,
  chat_message_response,
};

enum class outcome {
  converted,            // `text` holds the converted reports
  not_position_report,  // `text` says what the message is instead
  failed,               // `text` says why (a wrong length or type, a corrupt report)
  invalid_settings,     // `text` says which setting is out of range; nothing was read
};

struct conversion {
  outcome result = outcome::failed;
  message_kind kind = message_kind::position_reports;
  // The output when converted; otherwise the text the program prints after
  // "Error: ", byte for byte (it may or may not end in CR LF).
  std::string text;
  // When converted: the modem id the output names, the given one or the
  // one the message carries in its tail (Latin-1 bytes). Empty when there
  // is neither (the output then says "No ModemID" or leaves the line empty).
  std::optional<std::string> known_modem_id;

  bool converted() const noexcept { return result == outcome::converted; }
  // Exactly what Kaldo_Command_Line prints for this message: the text, or
  // "Error: " and the text.
  KALDO_API std::string printed() const;
};

// Converts one message. Reads only the bytes of `msg`. Never throws but
// std::bad_alloc.
KALDO_API conversion convert_message(const message& msg, const settings& how);

// The result of converting a saved message file.
struct file_conversion {
  std::string output;  // every byte the program prints
  int exit_status = 0; // 0, 1 (an .sbd file that cannot be read) or -1
};

// Converts the file at `path` (UTF-8) exactly as `Kaldo_Command_Line path
// FORMAT \Ymc` does: the extension (".sbd", ".SBD", ".eml", ".EML") picks
// the encoding, the modem id comes from the file name or the Subject line,
// and `how.modem_id` is not used. Settings out of range give exit status
// -1 and the program's text for them. Never throws but std::bad_alloc.
KALDO_API file_conversion convert_file(std::string_view path, const settings& how);

}  // namespace kaldo
