#include "formats/field_rule.h"

namespace kaldo::detail {


bool passes_field_rule(gps_report_convert& record, const char* label,
                       const std::string& entries) {
  if (entries.empty()) return true;
  record.error_text += label;
  record.error_text += entries;
  return false;
}

const text_field& time_fraction(const gps_report_convert& record,
                                 bool after_3_2) {
  return after_3_2 ? record.time_centisecond : record.time_millisecond;
}

}  // namespace kaldo::detail
