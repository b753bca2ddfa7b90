#include "formats/easy_text.h"

#include "decode/conversions.h"
#include "formats/field_rule.h"
#include "formats/fix_state.h"

namespace kaldo::detail {

bool fit_easy_time(gps_report_convert& r, bool after_3_2) {
  std::string errors = pad_fields(
      {{&r.time_hour, 2}, {&r.time_minute, 2}, {&r.time_second, 2}});
  add_entries(errors, convert_time_fraction(r, after_3_2));
  return passes_field_rule(r, "Time Conversion:", errors);
}

bool fit_easy_date(gps_report_convert& r) {
  const std::string errors = pad_fields(
      {{&r.date_month, 2}, {&r.date_day, 2}, {&r.date_year, 2}});
  return passes_field_rule(r, "Date Conversion:", errors);
}

bool fit_easy_latitude(gps_report_convert& r, bool after_3_2) {
  std::string errors =
      pad_fields({{&r.latitude_degrees, 2}, {&r.latitude_minutes, 2}});
  add_entries(errors, convert_latitude_fraction(r, after_3_2));
  return passes_field_rule(r, "Latitude Conversion:", errors);
}

bool fit_easy_longitude(gps_report_convert& r, bool after_3_2) {
  std::string errors =
      pad_fields({{&r.longitude_degrees, 3}, {&r.longitude_minutes, 2}});
  add_entries(errors, convert_longitude_fraction(r, after_3_2));
  return passes_field_rule(r, "Longitude Conversion:", errors);
}

// The satellites count shares the longitude's error label.
bool fit_easy_satellites(gps_report_convert& r) {
  const std::string errors = pad_fields({{&r.satellites_used, 2}});
  return passes_field_rule(r, "Longitude Conversion:", errors);
}

// The time carry of a binary-layout report rewrites the date before the
// date is padded, so the time must be fitted first.
easy_block_fit fit_easy_block(gps_report_convert& r, bool after_3_2) {
  easy_block_fit fit;
  fit.time = fit_easy_time(r, after_3_2);
  fit.date = fit_easy_date(r);
  fit.latitude = fit_easy_latitude(r, after_3_2);
  fit.longitude = fit_easy_longitude(r, after_3_2);
  fit.satellites = fit_easy_satellites(r);
  return fit;
}

namespace {

inline void print_time(const gps_report_convert& r, bool after_3_2, output_text& out) {
  out += "UTC Time=";
  out += r.time_hour;
  out += ':';
  out += r.time_minute;
  out += ':';
  out += r.time_second;
  out += '.';
  out += time_fraction(r, after_3_2);
}

inline void print_date(const gps_report_convert& r, output_text& out) {
  out += "UTC Date=";
  out += r.date_month;
  out += '-';
  out += r.date_day;
  out += '-';
  out += r.date_year;
}

inline void print_latitude(const gps_report_convert& r, output_text& out) {
  out += "Latitude=";
  out += r.latitude_degrees;
  out += ':';
  out += r.latitude_minutes;
  out += '.';
  out += r.latitude_minute_fraction;
  out += r.latitude_south ? " South" : " North";
}

inline void print_longitude(const gps_report_convert& r, output_text& out) {
  out += "Longitude=";
  out += r.longitude_degrees;
  out += ':';
  out += r.longitude_minutes;
  out += '.';
  out += r.longitude_minute_fraction;
  out += r.longitude_west ? " West" : " East";
}

inline void print_satellites(const gps_report_convert& r, output_text& out) {
  out += "Satellites Used=";
  out += r.satellites_used;
}

}  // namespace

void easy_time_line(gps_report_convert& r, bool after_3_2, output_text& out) {
  if (fit_easy_time(r, after_3_2)) print_time(r, after_3_2, out);
}

void easy_date_line(gps_report_convert& r, output_text& out) {
  if (fit_easy_date(r)) print_date(r, out);
}

void easy_latitude_line(gps_report_convert& r, bool after_3_2, output_text& out) {
  if (fit_easy_latitude(r, after_3_2)) print_latitude(r, out);
}

void easy_longitude_line(gps_report_convert& r, bool after_3_2, output_text& out) {
  if (fit_easy_longitude(r, after_3_2)) print_longitude(r, out);
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

void easy_satellites_line(gps_report_convert& r, output_text& out) {
  if (fit_easy_satellites(r)) print_satellites(r, out);
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

// A block whose fields have been fitted: the fitting rewrites nothing a
// line printed before it reads, so printing after all of it gives the
// same text as fitting and printing line by line. `fix_line` is the line
// the generation writes between the velocity and the satellites.
void print_easy_block(const gps_report_convert& r, bool after_3_2,
                      const easy_block_fit& fit, std::string_view fix_line,
                      output_text& body) {
  if (fit.time) print_time(r, after_3_2, body);
  body += "\r\n";
  if (fit.date) print_date(r, body);
  body += "\r\n";
  if (fit.latitude) print_latitude(r, body);
  body += "\r\n";
  if (fit.longitude) print_longitude(r, body);
  body += "\r\n";
  easy_altitude_line(r, body);
  body += "\r\n";
  easy_velocity_line(r, after_3_2, body);
  body += fix_line;
  body += "\r\n";
  if (fit.satellites) print_satellites(r, body);
  body += "\r\n\r\n";
}

}  // namespace

void write_easy_text(gps_report_convert& record, output_text& body) {
  const easy_block_fit fit = fit_easy_block(record, false);
  print_easy_block(record, false, fit,
                   record.fix_valid ? std::string_view() : "\r\nInvalid Position Fix", body);
}

void write_easy_text_3_2(gps_report_convert& record, output_text& body) {
  static constexpr std::string_view fix_lines[] = {
      "\r\nInvalid Position Fix", "\r\nValid Position Fix", "\r\n2D Fix",
      "\r\nDead Reckoning"};
  const easy_block_fit fit = fit_easy_block(record, true);
  print_easy_block(record, true, fit, fix_lines[report_fix_state(record, true)], body);
}

}  // namespace kaldo::detail
