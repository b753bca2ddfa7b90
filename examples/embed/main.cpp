// Converts a tracker message received in memory (say, from a mail service)
// into the Compact Delimited Text format, without writing a file, and reads
// its position as numbers.
#include <kaldo/kaldo.h>

#include <cstdio>
#include <string>

int main() {
  // Message type 1 with one report: 12:30:05.250 on 17 May 2008 at
  // 33 45.1234 N, 117 50.1234 W, 123.4 m, 12.3 km/h, course 45.60.
  const unsigned char bytes[] = {
      1,   1,  12, 30, 5,  250, 0,   8, 5,  17, 33, 45, 0xD2, 0x04, 0x75, 50,
      0xD2, 0x04, 9, 123, 0,  0,   0,   4, 12, 0,  3,  0xD0, 0x11, 0xC0};
  kaldo::message message;
  message.bytes = std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes);
  message.kind = kaldo::encoding::sbd_payload;

  kaldo::settings settings;
  settings.format = 8;
  settings.modem_id = "300034012345670";

  const kaldo::conversion text = kaldo::convert_message(message, settings);
  const std::string printed = text.printed();  // what Kaldo_Command_Line prints
  std::fwrite(printed.data(), 1, printed.size(), stdout);

  const kaldo::decoded_message decoded = kaldo::decode_message(message, settings);
  for (const kaldo::report& report : decoded.reports) {
    if (!report.position) {
      std::printf("report %d: %s\n", report.index, report.problem.c_str());
      continue;
    }
    std::printf("%s report %d: %.6f %.6f, %s fix\n", decoded.modem_id.c_str(),
                report.index, report.position->latitude, report.position->longitude,
                kaldo::to_string(report.position->fix));
  }
  std::printf("kaldo %s\n", kaldo::version());
  return text.converted() && decoded.result == kaldo::outcome::converted ? 0 : 1;
}
