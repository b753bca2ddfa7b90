// Saved messages under names and folders a user may have anywhere: paths are
// UTF-8 on every platform, so a name opens and gives the same modem id on
// Windows as on Linux.
#include <gtest/gtest.h>

#include <filesystem>

#include "kaldo/kaldo.h"
#include "tests/test_support.h"

namespace {

std::string single_report_message() {
  return make_message(1, {binary_report({})});
}

// What the program prints for the single-report message with `modem_id`.
std::string expected_output(const std::string& modem_id, int format) {
  const std::string bytes = single_report_message();
  kaldo::message msg;
  msg.bytes = bytes;
  kaldo::settings how;
  how.format = format;
  how.modem_id = modem_id;
  return kaldo::convert_message(msg, how).printed();
}

}  // namespace

TEST(FileNames, NonAsciiNamesOpenAndKeepTheirModemId) {
  const struct {
    const char* folder;
    const char* name;
    const char* modem_id;
  } rows[] = {
      {"plain", "300234010123450_1.sbd", "300234010123450"},
      {"Übertragung", "300234010123451_Fähre.sbd", "300234010123451"},
      {"données", "300234010123452_Ålesund.sbd", "300234010123452"},
      {"Ταξίδι", "300234010123453_λ.SBD", "300234010123453"},
      {"記録", "300234010123454_船.sbd", "300234010123454"},
      // Outside the Basic Multilingual Plane: two UTF-16 units on Windows.
      {"🚢", "300234010123455_🛰.sbd", "300234010123455"},
      // A non-ASCII letter right before the underscore is not a digit.
      {"x", "30023401012345é_1.sbd", ""},
  };
  temp_dir dir;
  for (const auto& row : rows) {
    const std::string folder = dir.path() + "/" + row.folder;
    std::filesystem::create_directory(
        std::filesystem::path(std::u8string(folder.begin(), folder.end())));
    const std::string path =
        dir.write(std::string(row.folder) + "/" + row.name, single_report_message());
    kaldo::settings how;
    how.format = 8;
    const kaldo::file_conversion run = kaldo::convert_file(path, how);
    EXPECT_EQ(run.exit_status, 0) << path;
    EXPECT_EQ(run.output, expected_output(row.modem_id, 8)) << path;
  }
}

TEST(FileNames, EmailUnderANonAsciiNameIsRead) {
  temp_dir dir;
  const std::string path =
      dir.write("Nachricht über SMS.eml",
                "Subject: 300234010123456@sms.example.net\r\n\r\nsHello\r\n");
  kaldo::message chat;
  chat.bytes = "sHello";
  chat.kind = kaldo::encoding::sms_text;
  kaldo::settings how;
  how.modem_id = "300234010123456";
  const kaldo::conversion expected = kaldo::convert_message(chat, how);
  ASSERT_EQ(expected.kind, kaldo::message_kind::chat_message);

  const kaldo::file_conversion run = kaldo::convert_file(path, kaldo::settings{});
  EXPECT_EQ(run.exit_status, -1);
  EXPECT_EQ(run.output, expected.printed());
}

TEST(FileNames, BytesThatAreNotUtf8NameNoOtherFile) {
  // Decoded leniently, the stray byte 0xFF would become U+FFFD and open
  // this file instead of failing.
  temp_dir dir;
  dir.write("\xEF\xBF\xBD_1.sbd", single_report_message());
  dir.write("\xEF\xBF\xBD_2.eml", "Subject: 1@x\r\n\r\nsHi\r\n");
  const struct {
    const char* name;
    const char* output;
    int status;
  } rows[] = {
      {"/\xFF_1.sbd", "Cannot Open File.\r\n", 1},
      {"/\xFF_2.eml", "Error:Cannot Open File", -1},
      // A lone surrogate of a Windows argument, as the program passes it on.
      {"/\xED\xA0\x80_1.sbd", "Cannot Open File.\r\n", 1},
  };
  for (const auto& row : rows) {
    const kaldo::file_conversion run =
        kaldo::convert_file(dir.path() + row.name, kaldo::settings{});
    EXPECT_EQ(run.exit_status, row.status) << row.name;
    EXPECT_EQ(run.output, row.output) << row.name;
  }
}

TEST(FileNames, DeviceNamesAreNoFiles) {
  // Windows opens these as devices wherever they stand; Linux has no such
  // files. Either way nothing is read from them.
  temp_dir dir;
  const struct {
    std::string name;
    const char* output;
    int status;
  } rows[] = {
      {"NUL.sbd", "Cannot Open File.\r\n", 1},
      {dir.path() + "/nul.SBD", "Cannot Open File.\r\n", 1},
      {dir.path() + "/CON.sbd", "Cannot Open File.\r\n", 1},
      {dir.path() + "/COM1.sbd", "Cannot Open File.\r\n", 1},
      {"AUX.eml", "Error:Cannot Open File", -1},
  };
  for (const auto& row : rows) {
    const kaldo::file_conversion run = kaldo::convert_file(row.name, kaldo::settings{});
    EXPECT_EQ(run.exit_status, row.status) << row.name;
    EXPECT_EQ(run.output, row.output) << row.name;
  }
}
