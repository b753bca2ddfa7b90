// Decimal numbers read from and written into field texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "decode/text_field.h"

namespace kaldo::detail {

// Reads a number the way atol does (leading white space, an optional sign,
// the leading digits; 0 without digits), saturating instead of overflowing.
std::int64_t read_any_number(std::string_view text);
inline std::int64_t read_number(std::string_view text) {
  // A field text is plain digits, too few to overflow: read inline.
  if (!text.empty() && text.size() <= 18 && text[0] >= '0' && text[0] <= '9') {
    std::int64_t value = 0;
    for (const char c : text) {
      if (c < '0' || c > '9') break;
      value = value * 10 + (c - '0');
    }
    return value;
  }
  return read_any_number(text);
}

// `field` becomes the shortest decimal text of `value`.
void set_large_number_text(text_field& field, std::int64_t value);
inline void set_number_text(text_field& field, std::int64_t value) {
  // Most report fields are below 10000.
  if (value < 0 || value >= 10000) return set_large_number_text(field, value);
  field.set_small_number(static_cast<unsigned>(value));
}

// `field` becomes the decimal text of `value`, zero-filled to the length the
// field had before (a longer value is never cut). A carry that rewrites a
// unit a formatter has already zero-filled must not undo the fill.
void set_number_keeping_width(text_field& field, std::int64_t value);

// The number whole.fraction, both plain decimal digits, as a decimal text
// is read: the double nearest to its exact value.
double read_decimal(std::string_view whole, std::string_view fraction);

}  // namespace kaldo::detail
