// Where a message came from, as data that travels with it: a file of a
// folder, an e-mail of an mbox, a connection of a receiver, a UID of a
// mailbox. Nothing downstream looks at a path to learn where a message was
// found; reports, logs and stores read this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kaldo::tool {

struct message_origin {
  // The kind of source: "file" for files, folders, mbox files and Maildir
  // folders; a receiver or a mailbox names its own.
  std::string channel;
  // Unique within the channel: the same key is the same message there (a
  // path, "mbox#index", "path!attachment"; an IMAP folder, UIDVALIDITY and
  // UID).
  std::string key;
  // How reports and logs name the message (UTF-8); empty for a file-based
  // one, whose name is its key as UTF-8 (see display_name_of), made only
  // when shown.
  std::string display_name;

  // Where a file-based source found it: the file (raw path bytes), the
  // e-mail's position in an mbox (from 1), the attachment's file name.
  std::string path;
  std::optional<std::uint64_t> index;
  std::optional<std::string> part;

  // What the channel tells of the satellite session, where it tells it.
  std::optional<std::string> imei;
  std::optional<std::uint32_t> momsn;
  std::optional<std::int64_t> session_time;  // Unix seconds, UTC
};

// How reports and logs name the message: its display name, or its key as
// UTF-8.
std::string display_name_of(const message_origin& origin);

// The origin of a message found in the file at `path` (raw bytes), in the
// e-mail at `index` of an mbox, as the attachment named `part`.
message_origin file_origin(std::string path, std::optional<std::uint64_t> index = {},
                           std::optional<std::string> part = {});

}  // namespace kaldo::tool
