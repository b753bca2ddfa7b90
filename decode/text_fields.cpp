#include "decode/text_fields.h"

std::string check_field_width(std::string& field, std::size_t width) {
  if (field.size() > width) {
    std::string entry = "Corrupt Data: ";
    entry += field;
    entry += ';';
    return entry;
  }
  if (field.size() < width) field.insert(0, width - field.size(), '0');
  return {};
}

std::string strip_leading_zeros(std::string text) {
  std::size_t zeros = 0;
  while (text.size() - zeros > 1 && text[zeros] == '0') ++zeros;
  text.erase(0, zeros);
  return text;
}

std::string strip_trailing_zeros(std::string text) {
  while (text.size() > 1 && text.back() == '0') text.pop_back();
  return text;
}
