// mbox files: e-mails one after another, each after a "From " line.
//
// An mbox is read a piece at a time into memory, cut where an e-mail
// starts (mbox_cuts.h), and each piece is parsed there: an attachment is
// then read back from memory, not with a seek and a read of the file for
// every e-mail. What the pieces hold reaches the sink exactly as one
// parser reading the whole file hands it on, for mail as mail programs
// write it. (A header with NUL bytes in it GMime reads differently
// depending on where its reads fall, even with one parser over the whole
// file: there, too, each e-mail is read, counted and reported, but its
// reading may differ from that parser's.) A piece holds about a
// megabyte; an e-mail too large for a piece (a huge attachment) is parsed
// from the file, its parts left there, so a file of any size is read in
// bounded memory. An mbox that an archive unpacks cannot be read twice: an
// e-mail too large for a piece waits in a temporary file instead, and is
// parsed there.
#pragma once

#include <cstdint>
#include <string>

#include "tool/sources/byte_stream.h"
#include "tool/sources/gmime_support.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

// True when `head`, the first bytes of a file, opens an mbox.
bool looks_like_mbox(std::string_view head);

struct mbox_pieces {
  std::uint64_t bytes = 1u << 20;      // a piece ends at the first cut past this
  std::uint64_t most_bytes = 8u << 20;  // past this without a cut: read from the file
};

// Hands on the messages of every e-mail of the mbox at `path`; an SMS
// e-mail is named "<file name>.<index>.eml".
void read_mbox(const std::string& path, message_sink& sink);

// The same over `stream` (seekable, at its start); `path` names the mbox
// in what is found.
void read_mbox_in_pieces(GMimeStream* stream, const std::string& path, message_sink& sink,
                         const mbox_pieces& pieces = {});

// The same over bytes that can be read only once (an mbox in an archive);
// `name`, the mbox file's own name, names its SMS e-mails.
void read_mbox_unpacked(byte_stream& bytes, const std::string& path, const std::string& name,
                        message_sink& sink, const mbox_pieces& pieces = {});

// The same with one parser over the whole stream.
void read_mbox_stream(GMimeStream* stream, const std::string& path, message_sink& sink);

}  // namespace kaldo::tool
