#include "kaldo/utf8_text.h"

namespace kaldo::tool {

std::string latin1_to_utf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t code;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07;
    } else {
      return false;  // a continuation byte first, or C0, C1, F5..FF
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are
    // not UTF-8 even when their bytes have the right shape.
    static constexpr char32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string as_utf8(std::string_view text) {
  return is_valid_utf8(text) ? std::string(text) : latin1_to_utf8(text);
}

}  // namespace kaldo::tool
