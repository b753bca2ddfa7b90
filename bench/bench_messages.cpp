#include "bench/bench_messages.h"

#include "decode/message_layout.h"

using namespace kaldo::detail;

// A plausible report of each layout; the bytes vary per report so that the
// carries and paddings are exercised.
std::string bench_binary_report(int i) {
  std::string r(report_size, '\0');
  const unsigned char b[28] = {
      static_cast<unsigned char>(i % 24), static_cast<unsigned char>(i % 60),
      static_cast<unsigned char>(i % 60), static_cast<unsigned char>((i * 7) % 250), 1,
      8, 5, 17, 33, static_cast<unsigned char>(i % 60), 0xD2, 0x04, 117, 50, 0x30, 0x09,
      9, 123, 0, 0, 0, 4, 12, 0, 3, 0xD0, 0x11, 0x80};
  for (std::size_t k = 0; k < report_size; ++k) r[k] = static_cast<char>(b[k]);
  return r;
}

std::string bench_packed_report(int i) {
  std::string r(report_size, '\0');
  const unsigned char b[28] = {
      static_cast<unsigned char>(10 * (i % 24)), static_cast<unsigned char>(i % 60),
      static_cast<unsigned char>(64 + i % 60), static_cast<unsigned char>(i % 100),
      58, 17, 33, 45, 117, 50, 12, 34, 56, 78, 91, 90, 50, 1, 23, 45, 30, 12, 50,
      12, 50, 0xD0, 0x11, 0x80};
  for (std::size_t k = 0; k < report_size; ++k) r[k] = static_cast<char>(b[k]);
  return r;
}

std::string largest_message(int type) {
  std::string m;
  m += static_cast<char>(type);
  m += static_cast<char>(max_report_count);
  for (int i = 0; i < static_cast<int>(max_report_count); ++i) {
    m += type >= 3 ? bench_packed_report(i) : bench_binary_report(i);
  }
  return m + std::string(max_tail_size, 'x');
}
