// Text on its way to GDAL and the database, which both insist on UTF-8.
//
// Modem ids are Latin-1 bytes (a tracker may send any byte in its tail),
// so they are always transcoded. Paths and attachment names are usually
// UTF-8 already; only when they are not are their bytes read as Latin-1,
// so that nothing is dropped and every byte stays recognisable.
#pragma once

#include <string>
#include <string_view>

namespace kaldo::tool {

std::string latin1_to_utf8(std::string_view latin1);

bool is_valid_utf8(std::string_view text);

// `text` itself when it is valid UTF-8, its Latin-1 reading otherwise.
std::string as_utf8(std::string_view text);

}  // namespace kaldo::tool
