// Decimal numbers read from and written into field texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Reads a number the way atol does (leading white space, an optional sign,
// the leading digits; 0 without digits), saturating instead of overflowing.
std::int64_t read_number(std::string_view text);

// `field` becomes the shortest decimal text of `value`.
void set_number_text(std::string& field, std::int64_t value);

// The shortest decimal text of `value`.
std::string number_text(std::int64_t value);

// `field` becomes the decimal text of `value`, zero-filled to the length the
// field had before (a longer value is never cut). A carry that rewrites a
// unit a formatter has already zero-filled must not undo the fill.
void set_number_keeping_width(std::string& field, std::int64_t value);
