// Operations on the decimal field texts of a report.
//
// Fields are left unpadded by the decoder; a formatter zero-fills the ones it
// prints to a fixed width, in place, so that every later reader of the field
// in the same report sees the padded text.
#pragma once

#include <cstddef>
#include <string>

// Pads `field` on the left with '0' up to `width`. A field longer than the
// width is left alone and yields "Corrupt Data: " + field + ";"; otherwise
// the result is empty.
std::string check_field_width(std::string& field, std::size_t width);

// Removes leading '0' characters, keeping at least one character.
std::string strip_leading_zeros(std::string text);

// Removes trailing '0' characters, never the first character.
std::string strip_trailing_zeros(std::string text);
