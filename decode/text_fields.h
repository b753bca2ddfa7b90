// Operations on the decimal field texts of a report.
//
// Fields are left unpadded by the decoder; a formatter zero-fills the ones it
// prints to a fixed width, in place, so that every later reader of the field
// in the same report sees the padded text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "decode/text_field.h"

namespace kaldo::detail {

// Pads `field` on the left with '0' up to `width`. A field longer than the
// width is left alone and yields "Corrupt Data: " + field + ";"; otherwise
// the result is empty.
std::string pad_or_report_field(text_field& field, std::size_t width);

inline std::string check_field_width(text_field& field, std::size_t width) {
  if (field.size() == width) return std::string();  // the usual case
  return pad_or_report_field(field, width);
}

// Removes leading '0' characters, keeping at least one character.
inline std::string_view strip_leading_zeros(std::string_view text) {
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  return text;
}

// Removes trailing '0' characters, never the first character.
inline std::string_view strip_trailing_zeros(std::string_view text) {
  while (text.size() > 1 && text.back() == '0') text.remove_suffix(1);
  return text;
}

}  // namespace kaldo::detail
