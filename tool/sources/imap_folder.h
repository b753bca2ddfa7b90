// A folder on an IMAP server as an input: imap://USER@HOST[:PORT]/FOLDER
// or imaps://USER@HOST[:PORT]/FOLDER (no folder: INBOX). The folder is
// opened read-only and its e-mails fetched in UID order, in batches, each
// read exactly as the same e-mail in an mbox is read; nothing on the server
// changes, \Seen included.
//
// The folder may be written as the server names it (modified UTF-7, as a
// mail program's listing shows it) or in UTF-8 (percent-encoded in the
// URL); reports name it in UTF-8. An e-mail is named "<folder>.<UID>.eml",
// the folder's hierarchy separators made "_", and its origin is the channel
// "imap" with the key "<folder>/<UIDVALIDITY>/<UID>".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tool/sources/imap_client.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

// E-mails fetched with one command: at most this many, and at most this
// many bytes unless one e-mail alone is larger. A batch is held in memory
// while it is read.
inline constexpr std::size_t imap_batch_emails = 200;
inline constexpr std::uint64_t imap_batch_bytes = 16u << 20;

// The e-mails of a folder, in UID order, in batches of at most
// `most_emails` e-mails and `most_bytes` bytes (an e-mail larger than that
// is a batch of its own).
std::vector<std::vector<std::uint32_t>> imap_batches(const std::vector<imap_client::email_size>& emails,
                                                     std::size_t most_emails, std::uint64_t most_bytes);

struct imap_url {
  imap_endpoint endpoint;
  std::string folder;       // the server's name for it (modified UTF-7)
  std::string folder_utf8;  // the same in UTF-8, for names
};

// Whether `input` is an imap:// or imaps:// URL.
bool is_imap_url(std::string_view input);

// Reads `text`; false with the reason when it is not a URL this reader
// takes (one that holds a password among them).
bool parse_imap_url(const std::string& text, imap_url* url, std::string* error);

// A folder name as a user writes it (the server's own modified UTF-7, or
// UTF-8) as the server names it and in UTF-8; false when it is neither.
bool imap_folder_names(const std::string& folder, std::string* server_name, std::string* utf8);

// The password for a folder: the first line of the password file, else the
// environment's KALDO_IMAP_PASSWORD. False with the reason when there is
// none.
bool imap_password(const mailbox_access& access, std::string* password, std::string* error);

// The folder name as e-mails are named by: UTF-8, `separator` and path
// separators made "_".
std::string imap_name_part(const std::string& folder_utf8, char separator);

// The row of the table of sources.
source_kind imap_folder_kind();

}  // namespace kaldo::tool
