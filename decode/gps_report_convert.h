// The decoder record: the one object a conversion works on.
//
// It holds the settings of the conversion (input mode, output format,
// century, modem id), the 28 bytes of the report being decoded, that
// report's fields as texts and flags, the classification flags of the
// message and the error text collected while the reports are decoded and
// formatted. Each call of the library makes a fresh one, so that nothing is
// shared between calls or threads; every operation takes it by reference.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "decode/text_field.h"

namespace kaldo::detail {

inline constexpr std::size_t report_size = 28;
// Format indexes run from 0 to format_index_count - 1 (the format number
// minus 1); the format table has a row for each.
inline constexpr int format_index_count = 10;

class gps_report_convert {
 public:
  std::array<unsigned char, report_size> raw_report{};      // types 1 and 2
  std::array<unsigned char, report_size> raw_report_ext{};  // types 3 and 103
  std::int8_t output_format = 5;  // format number - 1; 5 is format 6

  // Fields of the current report, as decimal texts.
  text_field time_hour;
  text_field time_minute;
  text_field time_second;
  text_field time_millisecond;
  text_field time_centisecond;
  text_field date_year;
  text_field date_month;
  text_field date_day;
  text_field latitude_degrees;
  text_field latitude_minutes;
  text_field latitude_minute_fraction;
  text_field longitude_degrees;
  text_field longitude_minutes;
  text_field longitude_minute_fraction;
  text_field satellites_used;
  text_field altitude_whole;
  text_field altitude_fraction;
  text_field ground_speed_whole;
  text_field ground_speed_fraction;
  text_field course_whole;
  text_field course_fraction;
  text_field ground_speed_knots;
  text_field vertical_velocity_whole;
  text_field vertical_velocity_fraction;

  // Flags of the current report, each 0 or 1.
  unsigned char latitude_south = 0;
  unsigned char longitude_west = 0;
  unsigned char fix_valid = 0;
  unsigned char fix_2d = 0;
  unsigned char dead_reckoning = 0;
  unsigned char altitude_extended = 0;
  unsigned char emergency = 0;

  unsigned char is_remote_update_response = 0;
  unsigned char is_chat_message = 0;
  unsigned char is_chat_message_response = 0;
  std::string error_text;  // only ever grows; non-empty means the message failed
  std::string modem_id;
  std::int16_t message_type = 0;
  std::string century = "20";
  text_field report_century;
  unsigned char modem_id_in_message = 0;
  unsigned char input_mode = 0;  // 0: SBD payload bytes, 2: SMS text

  // Set once the current report's fraction of the second has been rounded
  // and carried, so that a second time formatter of the same report (the
  // ZDA sentence after the GGA sentence) does not move the time again.
  bool time_fraction_rounded = false;
};

void set_input_mode(gps_report_convert& record, unsigned char mode);
void set_output_format(gps_report_convert& record, std::int8_t index);
// Stores format number - 1 for the numbers 1 to format_index_count;
// ignores any other.
void set_format_number(gps_report_convert& record, std::int64_t number);
// Accepts exactly two decimal digits; returns 0, or -1 and changes nothing.
int set_century(gps_report_convert& record, std::string text);
void set_modem_id(gps_report_convert& record, std::string text);

// Message types 3 and 103 use the packed decimal report layout.
inline bool is_packed_layout(const gps_report_convert& record) {
  return record.message_type >= 3;
}

}  // namespace kaldo::detail
