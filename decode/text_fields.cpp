#include "decode/text_fields.h"

namespace kaldo::detail {

std::string pad_or_report_field(text_field& field, std::size_t width) {
  if (field.size() > width) {
    std::string entry = "Corrupt Data: ";
    entry += field;
    entry += ';';
    return entry;
  }
  if (field.size() < width) field.prepend(width - field.size(), '0');
  return {};
}

}  // namespace kaldo::detail
