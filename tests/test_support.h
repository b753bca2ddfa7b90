// Builders of reports and messages from field values, and a runner of the
// real program, shared by the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <ostream>

#include "decode/gps_report_convert.h"

namespace kaldo::detail {
// How a failing expectation shows a field.
inline void PrintTo(const text_field& field, std::ostream* os) {
  *os << '"' << std::string_view(field) << '"';
}
}  // namespace kaldo::detail

using namespace kaldo::detail;

// The fields of a binary-layout report (message types 1 and 2).
struct binary_fields {
  int hour = 12, minute = 30, second = 5, millisecond = 250;
  int year = 8, month = 5, day = 17;
  int lat_degrees = 33, lat_minutes = 45, lat_fraction = 1234;
  int lon_degrees = 117, lon_minutes = 50, lon_fraction = 1234;
  int satellites = 9;
  int altitude = 123, altitude_more = 0, altitude_fraction = 4;
  int speed = 12, speed_tenths = 3, course = 4560;
  int flags = 0x80;  // valid fix
};

// The fields of a packed-layout report (types 3 and 103); digit groups are
// given as the byte values the tracker sends.
struct packed_fields {
  int hour = 12, minute = 30, second = 5, hundredths = 25, emergency = 0;
  int year = 8, month = 5, day = 17;
  int lat_degrees = 33, lat_minutes = 45;
  int lat_fraction_12 = 12, lat_fraction_34 = 34, lat_fraction_5 = 5;
  int lon_degrees = 117, lon_minutes = 50;
  int lon_fraction_1 = 6, lon_fraction_23 = 78, lon_fraction_45 = 91;
  int satellites = 9;
  int altitude_whole_digits = 5, altitude_digit_1 = 0;
  int altitude_23 = 1, altitude_45 = 23, altitude_67 = 45;  // 0012345
  int speed_whole_digits = 3, speed_digit_1 = 0, speed_23 = 12, speed_45 = 50;
  int vv_whole_digits = 1, vv_digit_1 = 0, vv_23 = 12, vv_45 = 50;
  int course = 4560;
  int flags = 0x80;
};

std::string binary_report(const binary_fields& f);
std::string packed_report(const packed_fields& f);
std::string make_message(int type, const std::vector<std::string>& reports,
                         const std::string& tail = "");

// Runs decode_message on `message` with a fresh record in `format_number`.
struct decoded {
  int result;
  std::string out;
};
decoded decode_with(const std::string& message, int format_number,
                    int input_mode = 0, const std::string& modem_id = "",
                    const std::string& century = "20");

struct program_run {
  std::string out;
  std::string err;
  int status;         // as the shell sees it: -1 is 255
  long peak_rss_kb;   // the process's peak resident memory
};

// Runs the built program with `args` in `directory`; with `prefix`, runs
// that command with the program and `args` as its arguments. POSIX only.
program_run run_program(const std::vector<std::string>& args,
                        const std::string& directory = ".",
                        const std::vector<std::string>& prefix = {});

// A fresh temporary directory, removed with the object. Its path and the
// names written in it are UTF-8; `write` makes the folders a name has.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  const std::string& path() const { return path_; }
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);

// Whether the tests run under CI (CI=true), where every real part a test
// needs (a program, a server) must be there.
bool running_under_ci();

// A test that needs a real part skips without it on a developer's machine,
// saying why, and fails under CI.
#define KALDO_REQUIRE_PART(available, what)                       \
  do {                                                            \
    if (!(available)) {                                           \
      if (running_under_ci()) FAIL() << (what) << " (required under CI)"; \
      GTEST_SKIP() << (what);                                     \
    }                                                             \
  } while (0)
