// Maildir folders: one e-mail per file in cur/ and new/. Whatever else the
// mail server keeps at the top (its index and uid files, tmp/ with
// deliveries in progress) is passed over without a word; subfolders
// (Maildir++ ".Sent" and the like) are walked like any folder.
#pragma once

#include <functional>
#include <string>

#include "tool/sources/source.h"

namespace kaldo::tool {

// True when `folder` has the cur/ and new/ of a Maildir.
bool is_maildir(const std::string& folder);

// Hands on the messages of every e-mail in `folder`'s cur/ and new/; an
// SMS e-mail is named after its file, with ".eml". `walk_folder` walks a
// subfolder.
void read_maildir(const std::string& folder, message_sink& sink,
                  const std::function<void(const std::string&)>& walk_folder);

}  // namespace kaldo::tool
