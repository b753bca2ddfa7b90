#include "decode/numbers.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace kaldo::detail {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

std::int64_t read_any_number(std::string_view text) {
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

// With at most 15 digits in all, the digits and the power of ten are exact
// doubles and one division rounds their exact quotient correctly; only
// longer texts need the general reader.
double read_decimal(std::string_view whole, std::string_view fraction) {
  static constexpr double powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (whole.size() + fraction.size() <= 15) {
    std::uint64_t digits = 0;
    for (const char c : whole) digits = digits * 10 + static_cast<unsigned>(c - '0');
    for (const char c : fraction) digits = digits * 10 + static_cast<unsigned>(c - '0');
    return static_cast<double>(digits) / powers_of_ten[fraction.size()];
  }
  char text[40];
  const std::size_t n = whole.size() + 1 + fraction.size();
  if (n > sizeof text) return 0;
  std::memcpy(text, whole.data(), whole.size());
  text[whole.size()] = '.';
  std::memcpy(text + whole.size() + 1, fraction.data(), fraction.size());
  double value = 0;
  std::from_chars(text, text + n, value);
  return value;
}

}  // namespace kaldo::detail
