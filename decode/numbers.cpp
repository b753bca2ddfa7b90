#include "decode/numbers.h"

#include <charconv>
#include <limits>

namespace kaldo::detail {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

std::int64_t read_number(std::string_view text) {
  // A field text is plain digits, too few to overflow.
  if (!text.empty() && text.size() <= 18 && text[0] >= '0' && text[0] <= '9') {
    std::int64_t value = 0;
    for (const char c : text) {
      if (c < '0' || c > '9') break;
      value = value * 10 + (c - '0');
    }
    return value;
  }
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value > (limit - digit) / 10) {
      return negative ? std::numeric_limits<std::int64_t>::min() : limit;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

void set_large_number_text(text_field& field, std::int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  field.assign(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void set_number_keeping_width(text_field& field, std::int64_t value) {
  const std::size_t width = field.size();
  set_number_text(field, value);
  if (field.size() < width) field.prepend(width - field.size(), '0');
}

}  // namespace kaldo::detail
