// Command-line arguments as Windows hands them over, UTF-16, turned into
// the UTF-8 that the argument checks and the library read on every
// platform, so that a name has the same bytes (and modem id) as on Linux.
#pragma once

#include <string>
#include <string_view>

namespace kaldo::cli {

// The UTF-8 of `text`. A lone surrogate, which a Windows name may hold but
// no Unicode text can, becomes the three bytes of its code unit (as in
// WTF-8) rather than U+FFFD: those bytes decode to no name, so the file
// cannot be opened, where U+FFFD would open a different file.
std::string utf8_from_utf16(std::u16string_view text);

}  // namespace kaldo::cli
