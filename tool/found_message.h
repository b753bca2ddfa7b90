// What a source of messages hands on: one tracker message as found in an
// input (a saved file, an attachment, an e-mail), or an input that holds
// none, with the reason.
//
// Sources stream these in input order; every subcommand consumes the same
// stream, so a message is found once, the same way, whatever is done with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "kaldo/convert.h"

namespace kaldo::tool {

// An attachment keeps this many of its first bytes: one more than the
// largest message (2 + 28 * 255 + 69), so that a longer one is told apart.
inline constexpr std::size_t kept_payload_bytes = 7212;

struct found_message {
  // The file the message came from, as found: the .sbd or .eml file, the
  // mbox, the Maildir message file. Raw path bytes.
  std::string source;
  std::optional<std::uint64_t> index;  // position in an mbox, from 1
  std::optional<std::string> part;     // the attachment's file name
  // The message's own name, not yet cleaned for use as a file name: the
  // attachment's or file's name, or "<mbox>.<index>.eml".
  std::string name;
  kaldo::encoding kind = kaldo::encoding::sbd_payload;
  // sbd_payload: the payload's first bytes (at most kept_payload_bytes).
  // sms_text: the whole e-mail as saved in a .eml file.
  std::string bytes;
  std::uint64_t full_length = 0;  // sbd_payload: the payload's whole length
  // Set when the message could not be read at all: what Kaldo_Command_Line
  // prints for it ("Cannot Open File.\r\n", "Error:Cannot Open File").
  std::optional<std::string> unreadable;
};

struct skipped_input {
  std::string path;    // raw path bytes
  std::optional<std::uint64_t> index;  // the e-mail's position in an mbox
  std::string reason;  // UTF-8
  // True when the input could not be read (a folder without permission, a
  // broken e-mail): that fails the run. False for a file that is simply
  // not a message.
  bool unreadable = false;
};

}  // namespace kaldo::tool
