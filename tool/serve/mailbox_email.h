// A service e-mail of an IMAP folder as the store takes it: one message per
// .sbd attachment (forwarded e-mails included), read exactly as the batch
// commands read the same e-mail. Each message is keyed like those of the
// other channels, so that one delivered both by DirectIP and by e-mail is
// stored once:
//   IMEI and MOMSN from the attachment's name "<imei>_<momsn>.sbd", else
//   the IMEI from the subject ("SBD Msg From Unit: <imei>") and the MOMSN
//   from the body ("MOMSN: 7");
//   the time of session from the body ("Time of Session (UTC): Thu Jun 20
//   14:38:55 2024"), else the e-mail's Date, in UTC.
// The body's other lines (MTMSN, session status, unit location, CEP
// radius) are kept where an e-mail carries one attachment: it describes
// that one session.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool/serve/store.h"

namespace kaldo::tool::serve {

struct email_messages {
  std::vector<received_message> messages;
  // Why there are none: no .sbd attachment, or none the store can key.
  std::string none_because;
};

// `bytes` is the whole e-mail as the server sent it.
email_messages read_mailbox_email(std::string_view bytes, const mailbox_place& place,
                                  std::chrono::sys_time<std::chrono::milliseconds> received_at);

// What a service e-mail's body says of the key, where it says it.
struct service_body {
  std::optional<std::int64_t> session_time;  // Unix seconds, UTC
  std::optional<std::uint32_t> momsn;
};

// Reads the body's lines the store keeps: those of the key into the
// answer, the others into `message`.
service_body read_service_body(std::string_view body, received_message& message);

}  // namespace kaldo::tool::serve
