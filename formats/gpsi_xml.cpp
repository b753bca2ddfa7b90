#include "formats/gpsi_xml.h"

#include "formats/compact_text.h"
#include "formats/field_rule.h"
#include "formats/fix_state.h"

namespace kaldo::detail {

void xml_date(gps_report_convert& r, output_text& out) {
  const std::string errors = pad_fields(
      {{&r.date_month, 2}, {&r.date_day, 2}, {&r.date_year, 2}});
  if (!passes_field_rule(r, "Date Conversion:", errors)) return;
  out += r.date_month;
  out += '-';
  out += r.date_day;
  out += '-';
  out += r.date_year;
}

void xml_speed(const gps_report_convert& r, output_text& out) {
  out += r.ground_speed_whole;
  out += '.';
  out += r.ground_speed_fraction;
  out += "km/h";
}

void xml_direction(const gps_report_convert& r, output_text& out) {
  out += r.course_whole;
  out += '.';
  out += r.course_fraction;
  out += " degrees from True North";
}

void xml_vertical_velocity(const gps_report_convert& r, output_text& out) {
  if (!is_packed_layout(r)) {
    out += "?.?m/s";
    return;
  }
  out += r.vertical_velocity_whole;
  out += '.';
  out += r.vertical_velocity_fraction;
  out += "m/s";
}

namespace {

void write_gpsi_elements(gps_report_convert& r, bool after_3_2, output_text& body) {
  body += "<Time>";
  compact_time(r, after_3_2, body);
  body += "</Time>\r\n<Date>";
  xml_date(r, body);
  body += "</Date>\r\n<Lat>";
  compact_latitude(r, after_3_2, body);
  body += "</Lat>\r\n<Lng>";
  compact_longitude(r, after_3_2, body);
  body += "</Lng>\r\n<Alt>";
  compact_altitude(r, body);
  body += "meters</Alt>\r\n<Speed>";
  xml_speed(r, body);
  body += "</Speed>\r\n<Dir>";
  xml_direction(r, body);
  body += "</Dir>\r\n";
  if (after_3_2) {
    body += "<VerVel>";
    xml_vertical_velocity(r, body);
    body += "</VerVel>\r\n";
  }
  body += "<Fix>";
  body += static_cast<char>('0' + report_fix_state(r, after_3_2));
  body += "</Fix>\r\n<Sat>";
  compact_satellites(r, body);
  body += "</Sat>\r\n";
}

}  // namespace

void write_gpsi_xml(gps_report_convert& record, output_text& body) {
  write_gpsi_elements(record, false, body);
}

void write_gpsi_xml_3_2(gps_report_convert& record, output_text& body) {
  write_gpsi_elements(record, true, body);
}

}  // namespace kaldo::detail
