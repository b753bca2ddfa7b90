// mbox files: e-mails one after another, each after a "From " line. GMime's
// parser scans the file one e-mail at a time, so a file of any size is
// read in the memory of one e-mail.
#pragma once

#include <string>

#include "kaldo/sources/gmime_support.h"
#include "kaldo/sources/source.h"

namespace kaldo::tool {

// True when `head`, the first bytes of a file, opens an mbox.
bool looks_like_mbox(std::string_view head);

// Hands on the messages of every e-mail of the mbox at `path`; an SMS
// e-mail is named "<file name>.<index>.eml".
void read_mbox(const std::string& path, message_sink& sink);

// The same over an open stream; `path` names it in what is found.
void read_mbox_stream(GMimeStream* stream, const std::string& path, message_sink& sink);

}  // namespace kaldo::tool
