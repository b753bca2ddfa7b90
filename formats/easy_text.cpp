#include "formats/easy_text.h"

#include "decode/conversions.h"
#include "formats/field_rule.h"
#include "formats/fix_state.h"

namespace kaldo::detail {

void easy_time_line(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors = pad_fields(
      {{&r.time_hour, 2}, {&r.time_minute, 2}, {&r.time_second, 2}});
  add_entries(errors, convert_time_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Time Conversion:", errors)) return;
  out += "UTC Time=";
  out += r.time_hour;
  out += ':';
  out += r.time_minute;
  out += ':';
  out += r.time_second;
  out += '.';
  out += time_fraction(r, after_3_2);
}

void easy_date_line(gps_report_convert& r, output_text& out) {
  const std::string errors = pad_fields(
      {{&r.date_month, 2}, {&r.date_day, 2}, {&r.date_year, 2}});
  if (!passes_field_rule(r, "Date Conversion:", errors)) return;
  out += "UTC Date=";
  out += r.date_month;
  out += '-';
  out += r.date_day;
  out += '-';
  out += r.date_year;
}

void easy_latitude_line(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors =
      pad_fields({{&r.latitude_degrees, 2}, {&r.latitude_minutes, 2}});
  add_entries(errors, convert_latitude_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Latitude Conversion:", errors)) return;
  out += "Latitude=";
  out += r.latitude_degrees;
  out += ':';
  out += r.latitude_minutes;
  out += '.';
  out += r.latitude_minute_fraction;
  out += r.latitude_south ? " South" : " North";
}

void easy_longitude_line(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors =
      pad_fields({{&r.longitude_degrees, 3}, {&r.longitude_minutes, 2}});
  add_entries(errors, convert_longitude_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Longitude Conversion:", errors)) return;
  out += "Longitude=";
  out += r.longitude_degrees;
  out += ':';
  out += r.longitude_minutes;
  out += '.';
  out += r.longitude_minute_fraction;
  out += r.longitude_west ? " West" : " East";
}

void easy_altitude_line(const gps_report_convert& r, output_text& out) {
  out += "Altitude=";
  out += r.altitude_whole;
  out += '.';
  out += r.altitude_fraction;
  out += " meters";
}

void easy_velocity_line(const gps_report_convert& r, bool after_3_2, output_text& out) {
  out += "Ground Velocity=";
  out += r.ground_speed_whole;
  out += '.';
  out += r.ground_speed_fraction;
  out += " km/h at ";
  out += r.course_whole;
  out += '.';
  out += r.course_fraction;
  out += " degrees from True North";
  if (!after_3_2) return;
  if (!is_packed_layout(r)) {
    out += "\r\nVertical Velocity=? m/s";
    return;
  }
  out += "\r\nVertical Velocity=";
  out += r.vertical_velocity_whole;
  out += '.';
  out += r.vertical_velocity_fraction;
  out += " m/s";
}

// The satellites count shares the longitude's error label.
void easy_satellites_line(gps_report_convert& r, output_text& out) {
  const std::string errors = pad_fields({{&r.satellites_used, 2}});
  if (!passes_field_rule(r, "Longitude Conversion:", errors)) return;
  out += "Satellites Used=";
  out += r.satellites_used;
}

void write_easy_lines_to_altitude(gps_report_convert& r, bool after_3_2,
                                  date_line_writer date_line, output_text& body) {
  easy_time_line(r, after_3_2, body);
  body += "\r\n";
  date_line(r, body);
  body += "\r\n";
  easy_latitude_line(r, after_3_2, body);
  body += "\r\n";
  easy_longitude_line(r, after_3_2, body);
  body += "\r\n";
  easy_altitude_line(r, body);
}

void write_easy_block_end(gps_report_convert& r, output_text& body) {
  body += "\r\n";
  easy_satellites_line(r, body);
  body += "\r\n\r\n";
}

namespace {

// Everything up to the velocity line; the generations differ after it.
void write_easy_position(gps_report_convert& r, bool after_3_2, output_text& body) {
  write_easy_lines_to_altitude(r, after_3_2, easy_date_line, body);
  body += "\r\n";
  easy_velocity_line(r, after_3_2, body);
}

}  // namespace

void write_easy_text(gps_report_convert& record, output_text& body) {
  write_easy_position(record, false, body);
  if (!record.fix_valid) body += "\r\nInvalid Position Fix";
  write_easy_block_end(record, body);
}

void write_easy_text_3_2(gps_report_convert& record, output_text& body) {
  static const char* const fix_lines[] = {
      "\r\nInvalid Position Fix", "\r\nValid Position Fix", "\r\n2D Fix",
      "\r\nDead Reckoning"};
  write_easy_position(record, true, body);
  body += fix_lines[report_fix_state(record, true)];
  write_easy_block_end(record, body);
}

}  // namespace kaldo::detail
