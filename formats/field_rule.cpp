#include "formats/field_rule.h"

#include "decode/text_fields.h"

std::string pad_fields(std::initializer_list<field_width> fields) {
  std::string entries;
  for (const field_width& f : fields) {
    entries += check_field_width(*f.field, f.width);
  }
  return entries;
}

bool passes_field_rule(gps_report_convert& record, const char* label,
                       const std::string& entries) {
  if (entries.empty()) return true;
  record.error_text += label;
  record.error_text += entries;
  return false;
}

const std::string& time_fraction(const gps_report_convert& record,
                                 bool after_3_2) {
  return after_3_2 ? record.time_centisecond : record.time_millisecond;
}
