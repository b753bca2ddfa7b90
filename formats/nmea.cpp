#include "formats/nmea.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "decode/conversions.h"
#include "decode/text_fields.h"
#include "formats/field_rule.h"
#include "formats/fix_state.h"

namespace kaldo::detail {

void nmea_gga_time(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors = pad_fields(
      {{&r.time_hour, 2}, {&r.time_minute, 2}, {&r.time_second, 2}});
  add_entries(errors, convert_time_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Time Conversion:", errors)) return;
  out += r.time_hour;
  out += r.time_minute;
  out += r.time_second;
  out += '.';
  out += time_fraction(r, after_3_2);
  out += ',';
}

void nmea_latitude(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors =
      pad_fields({{&r.latitude_degrees, 2}, {&r.latitude_minutes, 2}});
  add_entries(errors, convert_latitude_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Latitude Conversion:", errors)) return;
  out += r.latitude_degrees;
  out += r.latitude_minutes;
  out += '.';
  out += r.latitude_minute_fraction;
  out += r.latitude_south ? ",S," : ",N,";
}

void nmea_longitude(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors =
      pad_fields({{&r.longitude_degrees, 3}, {&r.longitude_minutes, 2}});
  add_entries(errors, convert_longitude_fraction(r, after_3_2));
  if (!passes_field_rule(r, "Longitude Conversion:", errors)) return;
  out += r.longitude_degrees;
  out += r.longitude_minutes;
  out += '.';
  out += r.longitude_minute_fraction;
  out += r.longitude_west ? ",W," : ",E,";
}

// The satellites count shares the longitude's error label.
void nmea_satellites(gps_report_convert& r, output_text& out) {
  const std::string errors = pad_fields({{&r.satellites_used, 2}});
  if (!passes_field_rule(r, "Longitude Conversion:", errors)) return;
  out += r.satellites_used;
  out += ",,";
}

void nmea_altitude(const gps_report_convert& r, output_text& out) {
  out += r.altitude_whole;
  out += '.';
  out += r.altitude_fraction;
  out += ",M,,M,,*";
}

void nmea_course(const gps_report_convert& r, output_text& out) {
  out += r.course_whole;
  out += '.';
  out += r.course_fraction;
  out += ",T,,M,";
}

void nmea_knots(const gps_report_convert& r, output_text& out) {
  out += r.ground_speed_knots;
  out += ",N,";
}

void nmea_speed(const gps_report_convert& r, output_text& out) {
  out += r.ground_speed_whole;
  out += '.';
  out += r.ground_speed_fraction;
  out += ",K*";
}

// The ZDA time names the same instant as the GGA time of the report. Before
// 3.2 a binary-layout report has only milliseconds (nothing derives its
// hundredths), so it prints those, like its GGA time does.
void nmea_zda_time(gps_report_convert& r, bool after_3_2, output_text& out) {
  std::string errors = pad_fields(
      {{&r.time_hour, 2}, {&r.time_minute, 2}, {&r.time_second, 2}});
  add_entries(errors, convert_time_fraction(r, after_3_2));
  add_entries(errors, check_field_width(r.time_centisecond, 2));
  if (!passes_field_rule(r, "Time Conversion:", errors)) return;
  out += r.time_hour;
  out += r.time_minute;
  out += r.time_second;
  out += '.';
  const bool milliseconds = !after_3_2 && !is_packed_layout(r);
  out += milliseconds ? r.time_millisecond : r.time_centisecond;
  out += ',';
}

// Carries the "*" that closes the ZDA sentence.
void nmea_zda_date(gps_report_convert& r, output_text& out) {
  const std::string errors = pad_fields(
      {{&r.date_month, 2}, {&r.date_day, 2}, {&r.date_year, 2}});
  if (!passes_field_rule(r, "Date Conversion:", errors)) return;
  out += r.date_day;
  out += ',';
  out += r.date_month;
  out += ',';
  out += r.report_century;
  out += r.date_year;
  out += ",00,00*";
}

namespace {

// The exclusive OR of `n` bytes, sixteen at a time.
unsigned char xor_of(const char* p, std::size_t n) {
  std::uint64_t words = 0;
  for (; n >= 16; p += 16, n -= 16) {
    std::uint64_t word[2];
    std::memcpy(word, p, 16);
    words ^= word[0] ^ word[1];
  }
  if (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    words ^= word;
    p += 8;
    n -= 8;
  }
  for (; n > 0; ++p, --n) words ^= static_cast<unsigned char>(*p);
  words ^= words >> 32;
  words ^= words >> 16;
  words ^= words >> 8;
  return static_cast<unsigned char>(words);
}

}  // namespace

unsigned char nmea_checksum_value(std::string_view sentence) {
  std::size_t dollar = 0;  // near the start: after a line break at most
  while (dollar < sentence.size() && sentence[dollar] != '$') ++dollar;
  if (dollar == sentence.size()) return 0;
  const std::string_view body = sentence.substr(dollar + 1);
  return xor_of(body.data(), std::min(body.find('*'), body.size()));
}

static const char hex_digits[] = "0123456789ABCDEF";

std::string nmea_checksum(std::string_view sentence) {
  const unsigned char sum = nmea_checksum_value(sentence);
  return {hex_digits[sum >> 4], hex_digits[sum & 0x0F]};
}

namespace {

// Appends the sentence that `start` begins in `body` with its checksum.
void close_sentence(output_text& body, std::size_t start) {
  const unsigned char sum = nmea_checksum_value(body.view().substr(start));
  body += hex_digits[sum >> 4];
  body += hex_digits[sum & 0x0F];
}

void write_nmea_sentences(gps_report_convert& r, bool after_3_2, output_text& body) {
  static const char* const fix_quality[] = {"0,", "1,", "1,", "6,"};
  std::size_t start = body.size();
  body += "$GPGGA,";
  nmea_gga_time(r, after_3_2, body);
  nmea_latitude(r, after_3_2, body);
  nmea_longitude(r, after_3_2, body);
  body += fix_quality[report_fix_state(r, after_3_2)];
  nmea_satellites(r, body);
  nmea_altitude(r, body);
  close_sentence(body, start);

  start = body.size();
  body += "\r\n$GPVTG,";
  nmea_course(r, body);
  nmea_knots(r, body);
  nmea_speed(r, body);
  close_sentence(body, start);

  start = body.size();
  body += "\r\n$GPZDA,";
  nmea_zda_time(r, after_3_2, body);
  nmea_zda_date(r, body);
  close_sentence(body, start);
  body += "\r\n";
}

}  // namespace

void write_nmea(gps_report_convert& record, output_text& body) {
  write_nmea_sentences(record, false, body);
}

void write_nmea_3_2(gps_report_convert& record, output_text& body) {
  write_nmea_sentences(record, true, body);
}

}  // namespace kaldo::detail
