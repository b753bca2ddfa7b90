// Converts the largest message of a type in a format a given number of
// times: a fixed workload for instruction counting under callgrind.
//   profile_decode TYPE FORMAT TIMES
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_messages.h"
#include "convert/decode_message.h"

using namespace kaldo::detail;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: profile_decode TYPE FORMAT TIMES\n", stderr);
    return 2;
  }
  const std::string message = largest_message(std::atoi(argv[1]));
  gps_report_convert record;
  set_modem_id(record, "300034012345670");
  set_format_number(record, std::atoi(argv[2]));
  std::string out;
  std::size_t bytes = 0;
  for (int i = std::atoi(argv[3]); i > 0; --i) {
    out.clear();
    if (decode_message(record, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), out) != 0) {
      std::fputs("decode failed\n", stderr);
      return 1;
    }
    bytes += out.size();
  }
  std::printf("%zu bytes\n", bytes);
  return 0;
}
