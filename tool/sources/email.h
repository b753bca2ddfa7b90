// E-mail, read with GMime. An e-mail that carries .sbd attachments (at any
// depth, forwarded e-mails included) yields one message per attachment,
// decoded through GMime's own filters and cut at its first bytes; any
// other e-mail is an SMS e-mail and is handed on whole, as raw bytes, the
// way Kaldo_Command_Line reads it saved as a .eml file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tool/sources/byte_stream.h"
#include "tool/sources/gmime_support.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

// Larger than any SMS e-mail can sensibly be; one without .sbd
// attachments beyond this is passed over rather than held in memory.
inline constexpr std::uint64_t max_sms_email_bytes = 1u << 20;

// An e-mail an archive unpacks is held in memory up to this size; a larger
// one (a huge attachment) is parsed from a temporary file.
inline constexpr std::uint64_t held_email_bytes = 8u << 20;

// Where an e-mail sits and how it is stored.
struct email_place {
  std::string source;                   // the file that holds it
  std::optional<std::uint64_t> index;   // in an mbox, from 1
  std::string sms_name;                 // its name when it is an SMS e-mail
  // Mail stores keep e-mails with bare line feeds; a saved .eml file has
  // the CR LF of the wire, and the SMS reader needs them.
  bool local_line_ends = false;
  // The e-mail's origin where it is not a file (an e-mail of an IMAP
  // folder); its attachments add their names to it.
  std::optional<message_origin> origin;
};

// Hands on the messages of `email`, whose raw bytes are
// [begin, end) of `raw` (end -1: to the stream's end). Returns false when
// the e-mail could not be read (sink told why).
bool read_parsed_email(GMimeMessage* email, GMimeStream* raw, std::int64_t begin,
                       std::int64_t end, const email_place& place, message_sink& sink);

// Reads one e-mail file (a .eml file, a Maildir message).
void read_email_file(const email_place& place, message_sink& sink);

// Reads the one e-mail that `bytes` hold. Hands on nothing when they cannot
// be read (bytes.failure() says why, for the caller to report).
void read_email_unpacked(byte_stream& bytes, const email_place& place, message_sink& sink);

// Reads the one e-mail that fills `stream`.
void read_email_stream(GMimeStream* stream, const email_place& place, message_sink& sink);

}  // namespace kaldo::tool
