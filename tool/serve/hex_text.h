// Bytes as lower-case hexadecimal text: how binary values travel in JSON,
// to the OGC API's clients and to PostgreSQL alike.
#pragma once

#include <cstddef>
#include <string>

namespace kaldo::tool::serve {

inline std::string hex_text(const unsigned char* bytes, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace kaldo::tool::serve
