// What a source of messages hands on: one tracker message as found (a
// saved file, an attachment, an e-mail, a message received over the
// network), or an input that holds none, with the reason.
//
// A batch source hands them on in input order; every subcommand consumes
// the same stream, so a message is found once, the same way, whatever is
// done with it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "kaldo/kaldo.h"
#include "tool/message_origin.h"

namespace kaldo::tool {

// A payload keeps this many of its first bytes: one more than the longest
// message, so that a longer one is told apart.
inline constexpr std::size_t kept_payload_bytes = kaldo::max_message_bytes + 1;

struct message_outcome;

// Called once, with the message's outcome, when that outcome is final:
// its output written, or its positions committed to a store. A receiver
// confirms a message to its sender from here, and from nowhere earlier.
using message_done = std::function<void(const message_outcome&)>;

struct found_message {
  message_origin origin;
  // The message's own name, not yet cleaned for use as a file name: the
  // attachment's or file's name, or "<mbox>.<index>.eml". Its extension
  // and digits are read as the single-file program reads a file name.
  std::string name;
  kaldo::encoding kind = kaldo::encoding::sbd_payload;
  // sbd_payload: the payload's first bytes (at most kept_payload_bytes).
  // sms_text: the whole e-mail, as a saved .eml file holds it.
  std::string bytes;
  std::uint64_t full_length = 0;  // sbd_payload: the payload's whole length
  // Set when the message could not be read at all.
  std::optional<kaldo::read_refusal> unreadable;
  message_done done;  // may be empty
};

struct skipped_input {
  std::string path;    // raw path bytes, or what names a non-file input
  std::optional<std::uint64_t> index;  // the e-mail's position in an mbox
  std::string reason;  // UTF-8
  // True when the input could not be read (a folder without permission, a
  // broken e-mail): that fails the run. False for a file that is simply
  // not a message.
  bool unreadable = false;
  // True when the run cannot go on at all (a mail server that refused the
  // login or stopped answering): the run stops there and ends with status 2.
  bool ends_run = false;
};

// The message as Kaldo_Command_Line reads the same message saved as a
// file: its bytes and modem id (from its name, or the SMS e-mail's
// Subject line), or why it cannot be read.
kaldo::saved_message read_found_message(const found_message& found);

}  // namespace kaldo::tool
