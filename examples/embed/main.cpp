// Converts a tracker message received in memory (say, from a mail service)
// into the Compact Delimited Text format, without writing a file.
#include <cstdio>
#include <string>

#include "convert/decode_message.h"

int main() {
  // Message type 1 with one report: 12:30:05.250 on 17 May 2008 at
  // 33 45.1234 N, 117 50.1234 W, 123.4 m, 12.3 km/h, course 45.60.
  const unsigned char message[] = {
      1,   1,  12, 30, 5,  250, 0,   8, 5,  17, 33, 45, 0xD2, 0x04, 0x75, 50,
      0xD2, 0x04, 9, 123, 0,  0,   0,   4, 12, 0,  3,  0xD0, 0x11, 0xC0};
  gps_report_convert record;  // each conversion gets a fresh record
  set_modem_id(record, "300034012345670");
  set_format_number(record, 8);
  std::string out;
  const int result = decode_message(record, message, sizeof message, out);
  std::fputs(result == 0 ? "" : "Error: ", stdout);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return result == 0 ? 0 : 1;
}
