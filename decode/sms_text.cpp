#include "decode/sms_text.h"

namespace kaldo::detail {

namespace {

// The value of an upper-case hexadecimal digit, or -1.
int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool convert_sms_text(const unsigned char* text, std::size_t length,
                      std::string& work) {
  if (length < sms_hex_end) return false;
  work.clear();
  work.reserve(length - 28);
  work += static_cast<char>(text[0]);
  work += static_cast<char>(static_cast<unsigned char>(text[1] - '0'));
  for (std::size_t i = 2; i < sms_hex_end; i += 2) {
    const int high = hex_value(text[i]);
    if (high < 0) return false;
    const int low = hex_value(text[i + 1]);
    if (low < 0) return false;
    work += static_cast<char>(high * 16 + low);
  }
  work.append(reinterpret_cast<const char*>(text) + sms_hex_end,
              length - sms_hex_end);
  return true;
}

}  // namespace kaldo::detail
