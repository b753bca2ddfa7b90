#include "tests/test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "convert/decode_message.h"

using namespace kaldo::detail;

namespace {

void put_u16(std::string& s, std::size_t at, int value) {
  s[at] = static_cast<char>(value & 0xFF);
  s[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

#ifndef _WIN32
std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, n);
  return text;
}
#endif

// Test paths are UTF-8, as the library's are; on Windows a narrow path
// would be read in the ANSI code page instead.
std::filesystem::path from_utf8(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::string binary_report(const binary_fields& f) {
  std::string r(28, '\0');
  r[0] = static_cast<char>(f.hour);
  r[1] = static_cast<char>(f.minute);
  r[2] = static_cast<char>(f.second);
  put_u16(r, 3, f.millisecond);
  r[5] = static_cast<char>(f.year);
  r[6] = static_cast<char>(f.month);
  r[7] = static_cast<char>(f.day);
  r[8] = static_cast<char>(f.lat_degrees);
  r[9] = static_cast<char>(f.lat_minutes);
  put_u16(r, 10, f.lat_fraction);
  r[12] = static_cast<char>(f.lon_degrees);
  r[13] = static_cast<char>(f.lon_minutes);
  put_u16(r, 14, f.lon_fraction);
  r[16] = static_cast<char>(f.satellites);
  put_u16(r, 17, f.altitude);
  put_u16(r, 19, f.altitude_more);
  r[21] = static_cast<char>(f.altitude_fraction);
  put_u16(r, 22, f.speed);
  r[24] = static_cast<char>(f.speed_tenths);
  put_u16(r, 25, f.course);
  r[27] = static_cast<char>(f.flags);
  return r;
}

std::string packed_report(const packed_fields& f) {
  const int bytes[28] = {
      10 * f.hour + f.year / 10,
      f.minute,
      f.second + 64 * f.vv_whole_digits,
      f.hundredths | (f.emergency ? 0x80 : 0),
      10 * f.month + f.year % 10,
      f.day,
      f.lat_degrees,
      f.lat_minutes,
      f.lon_degrees,
      f.lon_minutes,
      f.lat_fraction_12,
      f.lat_fraction_34,
      10 * f.lat_fraction_5 + f.lon_fraction_1,
      f.lon_fraction_23,
      f.lon_fraction_45,
      10 * f.satellites + f.vv_digit_1,
      10 * f.altitude_whole_digits + f.altitude_digit_1,
      f.altitude_23,
      f.altitude_45,
      f.altitude_67,
      10 * f.speed_whole_digits + f.speed_digit_1,
      f.speed_23,
      f.speed_45,
      f.vv_23,
      f.vv_45,
      f.course & 0xFF,
      f.course >> 8,
      f.flags,
  };
  std::string r(28, '\0');
  for (int i = 0; i < 28; ++i) r[i] = static_cast<char>(bytes[i] & 0xFF);
  return r;
}

std::string make_message(int type, const std::vector<std::string>& reports,
                         const std::string& tail) {
  std::string m;
  m += static_cast<char>(type);
  m += static_cast<char>(reports.size());
  for (const auto& r : reports) m += r;
  return m + tail;
}

decoded decode_with(const std::string& message, int format_number,
                    int input_mode, const std::string& modem_id,
                    const std::string& century) {
  gps_report_convert record;
  set_input_mode(record, static_cast<unsigned char>(input_mode));
  set_modem_id(record, modem_id);
  set_century(record, century);
  set_format_number(record, format_number);
  decoded d;
  d.result = decode_message(
      record, reinterpret_cast<const unsigned char*>(message.data()),
      message.size(), d.out);
  return d;
}

#ifndef _WIN32
program_run run_program(const std::vector<std::string>& args,
                        const std::string& directory,
                        const std::vector<std::string>& prefix) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir(directory.c_str()) != 0) _exit(127);
    std::vector<std::string> words = prefix;
    words.push_back(KALDO_EXECUTABLE);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  program_run run;
  // Small outputs: reading one pipe to its end before the other is safe.
  run.out = read_all(out_pipe[0]);
  run.err = read_all(err_pipe[0]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  run.peak_rss_kb = usage.ru_maxrss;
  return run;
}

#endif

temp_dir::temp_dir() {
#ifdef _WIN32
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (;;) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("kaldo_test_" + std::to_string(random()));
    if (std::filesystem::create_directory(dir)) {
      const std::u8string utf8 = dir.u8string();
      path_.assign(utf8.begin(), utf8.end());
      return;
    }
  }
#else
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kaldo_test_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
#endif
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  // A test may have taken its own permissions away to see them refused.
  std::filesystem::permissions(from_utf8(path_), std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(from_utf8(path_), ignored);
}

std::string temp_dir::write(const std::string& name, const std::string& bytes) const {
  const std::string full = path_ + "/" + name;
  std::error_code ignored;
  std::filesystem::create_directories(from_utf8(full).parent_path(), ignored);
  std::ofstream(from_utf8(full), std::ios::binary) << bytes;
  return full;
}

std::string read_file(const std::string& path) {
  std::ifstream in(from_utf8(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool running_under_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}
