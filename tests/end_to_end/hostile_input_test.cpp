// Whatever file or name the program is given, it answers with one of its
// own messages and exit statuses: no crash, no hang, nothing on the error
// stream, nothing read outside the file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "decode/message_layout.h"
#include "tests/test_support.h"

using namespace kaldo::detail;

namespace {

const std::string too_short = "Error: Less than Minimum Length\r\n";
const std::string bad_length = "Error: Invalid Length\r\n";
const std::string bad_format = "Error: Invalid Format\r\n";

struct hostile_row {
  const char* name;
  std::string file_name;
  std::string content;
  std::string out;  // whole output, or its start when `prefix_only`
  int status;
  bool prefix_only = false;
};

void run_table(const std::vector<hostile_row>& rows) {
  temp_dir dir;
  for (const hostile_row& r : rows) {
    const std::string path = dir.write(r.file_name, r.content);
    const auto run = run_program({r.file_name, "7"}, dir.path());
    if (r.prefix_only) {
      EXPECT_EQ(run.out.substr(0, r.out.size()), r.out) << r.name;
    } else {
      EXPECT_EQ(run.out, r.out) << r.name;
    }
    EXPECT_EQ(run.status, r.status) << r.name;
    EXPECT_EQ(run.err, "") << r.name;
    std::remove(path.c_str());
  }
}

std::string sized(int type, int count, std::size_t length) {
  std::string m(length, '\0');
  m[0] = static_cast<char>(type);
  if (length > 1) m[1] = static_cast<char>(count);
  return m;
}

// Makes a sparse file of `size` bytes that begins with `start`.
void sparse_file(const std::string& path, const std::string& start, off_t size) {
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, start.data(), start.size()), static_cast<ssize_t>(start.size()));
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

}  // namespace

TEST(HostileInput, MessagesOfEveryShape) {
  const std::string largest =
      make_message(1, std::vector<std::string>(255, binary_report({})), std::string(69, 'x'));
  std::vector<hostile_row> rows = {
      {"empty SBD", "1_a.sbd", "", too_short, 255},
      {"empty e-mail", "a.eml", "", "Error:Invalid Format", 255},
      {"one byte", "1_a.sbd", "x", too_short, 255},
      {"one byte 1", "1_a.sbd", "1", "Error: This is a Remote Update Response not a GPS Report.\r\n", 255},
      {"largest message", "1_a.sbd", largest, "ModemID=1\r\nNormal\r\nUTC Time=", 0, true},
      {"one byte more", "1_a.sbd", largest + "x", bad_length, 255},
      {"e-mail with a NUL in the header", "a.eml",
       std::string("From: a\0b\r\nSubject: 12@x\r\n\r\nsHi\r\n", 33),
       "Error: This is a Chat Message not a GPS Report.\r\n", 255},
      {"e-mail, @ first in the Subject", "a.eml", "Subject:@x\r\n\r\ng0" + std::string(56, '0'),
       "ModemID=No ModemID\r\n", 0},
      {"e-mail of one line feed", "a.eml", "\n", "Error:Invalid Format", 255},
      {"e-mail with a 100 kB body", "a.eml",
       "Subject: 1@x\r\n\r\ng1" + std::string(100000, 'A'), bad_length, 255},
  };
  run_table(rows);
}

TEST(HostileInput, EveryReportCountWithAMismatchedLength) {
  std::vector<hostile_row> rows;
  for (int count = 0; count <= 255; ++count) {
    const std::size_t shortest = report_offset(count);
    if (shortest - 1 >= min_message_size) {
      rows.push_back({"one byte short", "1_a.sbd", sized(1, count, shortest - 1), bad_length, 255});
    }
    rows.push_back({"one byte long", "1_a.sbd",
                    sized(1, count, shortest + max_tail_size + 1), bad_length, 255});
  }
  run_table(rows);
}

TEST(HostileInput, EveryTypeByte) {
  std::vector<hostile_row> rows;
  for (int type = 0; type <= 255; ++type) {
    const bool known = type == 1 || type == 2 || type == 3 || type == 103;
    rows.push_back({"type byte", "1_a.sbd", make_message(type, {std::string(28, '\0')}),
                    known ? "ModemID=1\r\nNormal\r\nUTC Time=00:00:00.00\r\n" : bad_format,
                    known ? 0 : 255, known});
  }
  run_table(rows);
}

TEST(HostileInput, RandomBytes) {
  std::mt19937 random(20261208);
  temp_dir dir;
  for (int i = 0; i < 60; ++i) {
    std::string bytes(random() % 400, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    if (i % 3 == 0 && bytes.size() > 2) bytes[0] = 3, bytes[1] = static_cast<char>(bytes.size() / 28);
    for (const std::string name : {"1_r.sbd", "r.eml"}) {
      dir.write(name, bytes);
      const auto run = run_program({name, std::to_string(1 + i % 10)}, dir.path());
      EXPECT_TRUE(run.status == 0 || run.status == 255) << i;
      EXPECT_FALSE(run.out.empty()) << i;
      EXPECT_EQ(run.err, "") << i;
    }
  }
}

TEST(HostileInput, FileNames) {
  temp_dir dir;
  mkdir((dir.path() + "/sub").c_str(), 0755);
  mkdir((dir.path() + "/sub/dir").c_str(), 0755);
  const std::string message = make_message(3, {packed_report({})});
  const std::pair<std::string, std::string> rows[] = {
      {"12 34_x.sbd", "No ModemID"},
      {"42_\xc3\xbc.sbd", "42"},
      {"77_a.b.c.sbd", "77"},
      {"sub/dir/55_x.sbd", "55"},
      {"C:\\data\\66_x.sbd", "66"},
      {"has space.sbd", "No ModemID"},
  };
  for (const auto& [name, id] : rows) {
    dir.write(name, message);
    const auto run = run_program({name, "7"}, dir.path());
    EXPECT_EQ(run.out.substr(0, 10 + id.size()), "ModemID=" + id + "\r\n") << name;
    EXPECT_EQ(run.status, 0) << name;
  }
}

TEST(HostileInput, UnreadableFile) {
  temp_dir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string path = dir.write("1_secret.sbd", make_message(3, {packed_report({})}));
  chmod(path.c_str(), 0);
  std::vector<std::string> prefix;
  if (geteuid() == 0) {
    // Root reads anything: read as the unprivileged user instead.
    if (access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "running as root without setpriv: cannot test an unreadable file";
    }
    prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  const auto run = run_program({"1_secret.sbd", "7"}, dir.path(), prefix);
  if (run.status == 127) GTEST_SKIP() << "the unprivileged user cannot run the program here";
  EXPECT_EQ(run.out, "Cannot Open File.\r\n");
  EXPECT_EQ(run.status, 1);
}

TEST(HostileInput, HugeFilesAreAnsweredInLittleMemory) {
  temp_dir dir;
  const std::string one_report = make_message(1, {binary_report({})});
  const struct {
    const char* name;
    std::string start;
    off_t size;
    std::string out;
  } rows[] = {
      {"300 MB of a report", one_report, off_t{300} << 20, bad_length},
      {"300 MB that begins with tr", "tr", off_t{300} << 20,
       "Error: This is a Remote Update Response not a GPS Report.\r\n"},
      {"Updated and NUL bytes", "Updated", off_t{300} << 20,
       "Error: This is a Remote Update Response not a GPS Report.\r\n"},
      // 2^32 + 30 bytes would pass as one report if the count wrapped.
      {"4 GiB + 30 bytes", one_report, (off_t{1} << 32) + 30, bad_length},
  };
  dir.write("1_small.sbd", one_report);
  const long baseline_kb = run_program({"1_small.sbd", "7"}, dir.path()).peak_rss_kb;
  for (const auto& r : rows) {
    sparse_file(dir.path() + "/1_huge.sbd", r.start, r.size);
    const auto run = run_program({"1_huge.sbd", "7"}, dir.path());
    EXPECT_EQ(run.out, r.out) << r.name;
    EXPECT_EQ(run.status, 255) << r.name;
    // What the file's size adds, whatever the build (a sanitizer's runtime
    // alone takes more than 8 MB); and the whole under 8 MB in a plain build.
    EXPECT_LT(run.peak_rss_kb - baseline_kb, 1024) << r.name;
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(run.peak_rss_kb, 8 * 1024) << r.name;
#endif
  }
}
