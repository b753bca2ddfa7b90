#include "input/sbd_reader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/test_support.h"

using namespace kaldo::detail;

TEST(ModemIdFromFileName, ScansBackwardsFromTheUnderscore) {
  const std::pair<std::string, std::string> rows[] = {
      {"123456789012345_20090305.sbd", "123456789012345"},
      {"C:\\data\\123456789012345_x.sbd", "123456789012345"},
      {"data/123456789012345_1.sbd", "123456789012345"},
      {"/home/u/data/42_1.sbd", "42"},
      {"123456789012345.sbd", ""},
      {"x123456789012345_1.sbd", ""},
      {"1234567890123456_1.sbd", ""},
      {"12_34_report.sbd", "1234"},
      {"_123_x.sbd", "123"},
      {"123456789012345_20090305_1.sbd", ""},
      {"a/12_b\\34_x.sbd", "34"},
      {"", ""},
  };
  for (const auto& [name, id] : rows) EXPECT_EQ(modem_id_from_file_name(name), id) << name;
}

TEST(ReadSbdFile, KeepsEveryByteAndTheLength) {
  temp_dir dir;
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  const std::string path = dir.write("42_all.sbd", bytes);
  sbd_payload payload;
  ASSERT_TRUE(read_sbd_payload(path, payload));
  EXPECT_EQ(payload.bytes, bytes);
  EXPECT_EQ(payload.length, 256u);

  const std::string empty = dir.write("7_empty.sbd", "");
  ASSERT_TRUE(read_sbd_payload(empty, payload));
  EXPECT_EQ(payload.length, 0u);
}

TEST(ReadSbdFile, KeepsOnlyTheStartOfAnOverlongFile) {
  temp_dir dir;
  const std::string path = dir.write("1_long.sbd", std::string(100000, 'x'));
  sbd_payload payload;
  ASSERT_TRUE(read_sbd_payload(path, payload));
  EXPECT_EQ(payload.length, 100000u);
  EXPECT_LT(payload.bytes.size(), 8000u);
  EXPECT_FALSE(payload.is_whole());
}

TEST(ReadSbdFile, MissingFileOrDirectoryIsRefused) {
  temp_dir dir;
  sbd_payload payload;
  EXPECT_FALSE(read_sbd_payload(dir.path() + "/9_missing.sbd", payload));
  EXPECT_FALSE(read_sbd_payload(dir.path(), payload));
}

TEST(ReadSbdFile, LengthOfAFileBeyondFourGigabytes) {
  // Sparse where the file system allows it: nothing of it is read. On
  // Windows a long is 32 bits, too narrow for this length.
  temp_dir dir;
  const std::string path = dir.write("5_huge.sbd", "\x01\x01");
  const std::uint64_t length = (std::uint64_t{5} << 30) + 3;
  std::filesystem::resize_file(
      std::filesystem::path(std::u8string(path.begin(), path.end())), length);
  sbd_payload payload;
  ASSERT_TRUE(read_sbd_payload(path, payload));
  EXPECT_EQ(payload.length, length);
  EXPECT_EQ(payload.bytes.substr(0, 2), "\x01\x01");
  EXPECT_FALSE(payload.is_whole());
}
