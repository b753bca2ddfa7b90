#include "decode/gps_report_convert.h"

#include <utility>

namespace kaldo::detail {

void set_input_mode(gps_report_convert& record, unsigned char mode) {
  record.input_mode = mode;
}

void set_output_format(gps_report_convert& record, std::int8_t index) {
  record.output_format = index;
}

void set_format_number(gps_report_convert& record, std::int64_t number) {
  if (number >= 1 && number <= format_index_count) {
    set_output_format(record, static_cast<std::int8_t>(number - 1));
  }
}

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

int set_century(gps_report_convert& record, std::string text) {
  if (text.size() != 2 || !is_digit(text[0]) || !is_digit(text[1])) {
    return -1;
  }
  record.century = std::move(text);
  return 0;
}

void set_modem_id(gps_report_convert& record, std::string text) {
  record.modem_id = std::move(text);
}

}  // namespace kaldo::detail
