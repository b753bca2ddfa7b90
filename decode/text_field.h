// A report field's text: a short byte string held inline in the record.
//
// A field comes from at most a few bytes of a 28-byte report, so its text
// is short: at most 11 characters as decoded (a knots value), one more
// after a carry, and the widths a formatter pads to are at most 5. The
// capacity leaves room beyond that, and a text that would not fit is cut
// at the capacity rather than written past it. Setting and reading a field
// then costs a few instructions, not a call into the general string code:
// a report is decoded into 24 of these and printed from them.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kaldo::detail {

class text_field {
 public:
  static constexpr std::size_t capacity = 31;

  text_field() = default;
  text_field(const text_field&) = default;
  text_field& operator=(const text_field&) = default;
  text_field& operator=(std::string_view text) {
    assign(text);
    return *this;
  }

  void assign(std::string_view text) {
    size_ = static_cast<unsigned char>(text.size() < capacity ? text.size() : capacity);
    for (std::size_t i = 0; i < size_; ++i) text_[i] = text[i];  // a few bytes
  }
  void clear() { size_ = 0; }
  void push_back(char c) {
    if (size_ < capacity) text_[size_++] = c;
  }
  text_field& operator+=(char c) {
    push_back(c);
    return *this;
  }
  text_field& operator+=(std::string_view text) {
    for (const char c : text) push_back(c);
    return *this;
  }
  // Puts `count` copies of `c` in front of the text. Both are a few
  // characters: plain loops beat calls to move and fill memory.
  void prepend(std::size_t count, char c) {
    if (count > capacity - size_) count = capacity - size_;
    for (std::size_t i = size_; i-- > 0;) text_[i + count] = text_[i];
    for (std::size_t i = 0; i < count; ++i) text_[i] = c;
    size_ = static_cast<unsigned char>(size_ + count);
  }
  // The decimal text of a number below 10000, which always fits.
  void set_small_number(unsigned value) {
    unsigned char n = 0;
    if (value >= 1000) text_[n++] = static_cast<char>('0' + value / 1000);
    if (value >= 100) text_[n++] = static_cast<char>('0' + value / 100 % 10);
    if (value >= 10) text_[n++] = static_cast<char>('0' + value / 10 % 10);
    text_[n++] = static_cast<char>('0' + value % 10);
    size_ = n;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The whole inline array of `capacity` bytes; the text is its first size().
  const char* data() const { return text_; }
  char operator[](std::size_t i) const { return text_[i]; }
  operator std::string_view() const { return {text_, size_}; }
  std::string str() const { return std::string(text_, size_); }

  friend bool operator==(const text_field& a, std::string_view b) {
    return std::string_view(a) == b;
  }

 private:
  char text_[capacity] = {};
  unsigned char size_ = 0;
};

}  // namespace kaldo::detail
