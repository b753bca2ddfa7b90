// Text shown to people or written into JSON must be valid UTF-8, but what
// reaches it is bytes: modem ids and error texts carry Latin-1 bytes from
// the message, and POSIX paths are whatever bytes the file system holds.
#pragma once

#include <string>
#include <string_view>

namespace kaldo::tool {

// Latin-1 bytes (every byte one character) as UTF-8.
std::string latin1_to_utf8(std::string_view bytes);

// A path or a name as UTF-8: valid UTF-8 unchanged, any byte that is not
// part of it replaced with U+FFFD.
std::string path_to_utf8(std::string_view bytes);

}  // namespace kaldo::tool
