#include "formats/two_way_text.h"

#include "formats/easy_text.h"
#include "formats/field_rule.h"

namespace kaldo::detail {

void two_way_date_line(gps_report_convert& r, output_text& out) {
  const std::string errors = pad_fields(
      {{&r.date_month, 2}, {&r.date_day, 2}, {&r.date_year, 2}});
  if (!passes_field_rule(r, "Date Conversion:", errors)) return;
  out += "UTC Date=";
  out += r.date_month;
  out += '-';
  out += r.date_day;
  out += '-';
  out += r.report_century;
  out += r.date_year;
}

namespace {

// The Easy to Read block with the four-digit year and without velocity;
// only an invalid fix is marked, in both generations.
void write_two_way_block(gps_report_convert& r, bool after_3_2, output_text& body) {
  write_easy_lines_to_altitude(r, after_3_2, two_way_date_line, body);
  if (!r.fix_valid) body += "\r\nInvalid Position Fix";
  write_easy_block_end(r, body);
}

}  // namespace

void write_two_way_text(gps_report_convert& record, output_text& body) {
  write_two_way_block(record, false, body);
}

void write_two_way_text_3_2(gps_report_convert& record, output_text& body) {
  write_two_way_block(record, true, body);
}

}  // namespace kaldo::detail
