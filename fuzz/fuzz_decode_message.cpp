// decode_message over arbitrary bytes. The first bytes choose the settings
// (input mode, format index, century, modem id); the rest is the message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "convert/decode_message.h"

using namespace kaldo::detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  gps_report_convert record;
  set_input_mode(record, (data[0] & 1) ? 2 : 0);
  set_format_number(record, data[1] % 10 + 1);
  set_century(record, std::string(reinterpret_cast<const char*>(data + 2), 2));
  const std::size_t id_length = data[4] % 16;
  data += 5;
  size -= 5;
  const std::size_t id = id_length < size ? id_length : size;
  set_modem_id(record, std::string(reinterpret_cast<const char*>(data), id));
  data += id;
  size -= id;

  // The message is copied so that a read past its end is caught.
  std::string message(reinterpret_cast<const char*>(data), size);
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  std::string out;
  const int result = decode_message(record, bytes, message.size(), out);
  if (result != 0 && result != -1) __builtin_trap();
  if (result == -1 && out.empty()) __builtin_trap();  // a failure always says why
  // No field text ever fills its inline capacity (it would have been cut).
  for (const text_field* field :
       {&record.time_hour, &record.time_minute, &record.time_second,
        &record.time_millisecond, &record.time_centisecond, &record.date_year,
        &record.date_month, &record.date_day, &record.latitude_degrees,
        &record.latitude_minutes, &record.latitude_minute_fraction,
        &record.longitude_degrees, &record.longitude_minutes,
        &record.longitude_minute_fraction, &record.satellites_used,
        &record.altitude_whole, &record.altitude_fraction, &record.ground_speed_whole,
        &record.ground_speed_fraction, &record.course_whole, &record.course_fraction,
        &record.ground_speed_knots, &record.vertical_velocity_whole,
        &record.vertical_velocity_fraction, &record.report_century}) {
    if (field->size() >= text_field::capacity) __builtin_trap();
  }

  gps_report_convert oversized;
  std::string answer;
  decode_oversized_payload(oversized, bytes, message.size(),
                           message.size() + 100000, answer);
  return 0;
}
