// The text a format writes its reports into.
//
// A message of 255 reports appends a few thousand short pieces: labels,
// separators and field texts of one to a dozen characters. This buffer
// grows like a string but appends a short piece with an inline copy, which
// is most of what printing a report costs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "decode/text_field.h"

namespace kaldo::detail {

class output_text {
 public:
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow_to(capacity);
  }

  output_text& operator+=(std::string_view text) {
    make_room(text.size());
    char* to = buffer_.get() + size_;
    for (const char c : text) *to++ = c;
    size_ += text.size();
    return *this;
  }
  // A literal's length is known here, so its copy is a few moves.
  template <std::size_t n>
  output_text& operator+=(const char (&literal)[n]) {
    make_room(n - 1);
    std::memcpy(buffer_.get() + size_, literal, n - 1);
    size_ += n - 1;
    return *this;
  }
  // A field is copied as its whole inline array, a fixed-size copy; only
  // its size counts.
  output_text& operator+=(const text_field& field) {
    make_room(text_field::capacity);
    std::memcpy(buffer_.get() + size_, field.data(), text_field::capacity);
    size_ += field.size();
    return *this;
  }
  output_text& operator+=(char c) {
    make_room(1);
    buffer_[size_++] = c;
    return *this;
  }

  std::size_t size() const { return size_; }
  void clear() { size_ = 0; }
  std::string_view view() const { return {buffer_.get(), size_}; }

 private:
  void make_room(std::size_t more) {
    if (capacity_ - size_ < more) {
      grow_to(std::max({capacity_ * 2, size_ + more, std::size_t{256}}));
    }
  }
  void grow_to(std::size_t capacity) {
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ > 0) std::memcpy(bigger.get(), buffer_.get(), size_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> buffer_;  // the text is [0, size_)
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace kaldo::detail
