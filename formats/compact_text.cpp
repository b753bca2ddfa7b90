#include "formats/compact_text.h"

#include "decode/conversions.h"
#include "formats/field_rule.h"
#include "formats/fix_state.h"

namespace kaldo::detail {

void compact_time(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors = pad_fields({{&r.time_minute, 2}, {&r.time_second, 2}});
  add_entries(errors, convert_time_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Time Conversion:", errors)) return;
  out += r.time_hour;
  out += ':';
  out += r.time_minute;
  out += ':';
  out += r.time_second;
  out += '.';
  out += time_fraction(r, after_3_2);
}

void compact_date(const gps_report_convert& r, output_text& out) {
  out += r.date_month;
  out += '-';
  out += r.date_day;
  out += '-';
  out += r.date_year;
}

void compact_latitude(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors = pad_fields({{&r.latitude_minutes, 2}});
  add_entries(errors, convert_latitude_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Latitude Conversion:", errors)) return;
  out += r.latitude_degrees;
  out += ':';
  out += r.latitude_minutes;
  out += '.';
  out += r.latitude_minute_fraction;
  out += r.latitude_south ? 'S' : 'N';
}

void compact_longitude(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors = pad_fields({{&r.longitude_minutes, 2}});
  add_entries(errors, convert_longitude_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Longitude Conversion:", errors)) return;
  out += r.longitude_degrees;
  out += ':';
  out += r.longitude_minutes;
  out += '.';
  out += r.longitude_minute_fraction;
  out += r.longitude_west ? 'W' : 'E';
}

void compact_altitude(const gps_report_convert& r, output_text& out) {
  out += r.altitude_whole;
  out += '.';
  out += r.altitude_fraction;
}

void compact_velocity(const gps_report_convert& r, bool after_3_2, output_text& out) {
  out += r.ground_speed_whole;
  out += '.';
  out += r.ground_speed_fraction;
  out += ':';
  out += r.course_whole;
  out += '.';
  out += r.course_fraction;
  if (!after_3_2) return;
  out += ',';
  if (!is_packed_layout(r)) {
    out += "?.?";
    return;
  }
  out += r.vertical_velocity_whole;
  out += '.';
  out += r.vertical_velocity_fraction;
}

void compact_satellites(const gps_report_convert& r, output_text& out) {
  out += r.satellites_used;
}

namespace {

void write_compact_line(gps_report_convert& r, bool after_3_2, output_text& body) {
  static const char* const fix_codes[] = {",0", ",1", ",2", ",3"};
  compact_time(r, after_3_2, body);
  body += ',';
  compact_date(r, body);
  body += ',';
  compact_latitude(r, after_3_2, body);
  body += ',';
  compact_longitude(r, after_3_2, body);
  body += ',';
  compact_altitude(r, body);
  body += ',';
  compact_velocity(r, after_3_2, body);
  body += fix_codes[report_fix_state(r, after_3_2)];
  body += ',';
  compact_satellites(r, body);
  body += "\r\n";
}

}  // namespace

void write_compact_text(gps_report_convert& record, output_text& body) {
  write_compact_line(record, false, body);
}

void write_compact_text_3_2(gps_report_convert& record, output_text& body) {
  write_compact_line(record, true, body);
}

}  // namespace kaldo::detail
