// The walk over files and folders.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

namespace fs = std::filesystem;

TEST(FilesAndFolders, FoldersAreWalkedInNameOrderWhateverTheDiskSays) {
  temp_dir folder;
  for (const char* name : {"b/2_x.sbd", "a/9_z.sbd", "b/1_y.sbd", "c.sbd", "a/sub/0_w.sbd"}) {
    folder.write(name, "Updated");
  }
  const collecting_sink found = walk({folder.path()});
  std::vector<std::string> names;
  for (const found_message& message : found.messages) names.push_back(message.name);
  EXPECT_EQ(names, (std::vector<std::string>{"9_z.sbd", "0_w.sbd", "1_y.sbd", "2_x.sbd", "c.sbd"}));
}

TEST(FilesAndFolders, WhatIsNotAMessageIsSkippedWithItsReason) {
  temp_dir folder;
  const std::string text = folder.write("notes.txt", "hello\n");
  const std::string mixed_case = folder.write("unit.Sbd", "Updated");
  const std::string fifo = folder.path() + "/pipe.sbd";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const collecting_sink found = walk({text, mixed_case, fifo, folder.path() + "/missing.sbd"});
  EXPECT_TRUE(found.messages.empty());
  ASSERT_EQ(found.skips.size(), 4u);
  // Only what could not be read fails the run; a file of another kind does not.
  const bool unreadable[] = {false, false, false, true};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(found.skips[i].unreadable, unreadable[i]) << found.skips[i].path << ": " << found.skips[i].reason;
    EXPECT_FALSE(found.skips[i].reason.empty());
  }
}

TEST(FilesAndFolders, ASymbolicLinkLoopIsReportedOnceAndTheWalkGoesOn) {
  temp_dir folder;
  folder.write("tree/1_a.sbd", "Updated");
  fs::create_directory_symlink(folder.path() + "/tree", folder.path() + "/tree/again");
  const collecting_sink found = walk({folder.path() + "/tree"});
  ASSERT_EQ(found.messages.size(), 1u);
  ASSERT_EQ(found.skips.size(), 1u);
  EXPECT_EQ(found.skips[0].path, folder.path() + "/tree/again");
  EXPECT_NE(found.skips[0].reason.find("loop"), std::string::npos);
  EXPECT_FALSE(found.skips[0].unreadable);
}

TEST(FilesAndFolders, ASbdFileKeepsItsFirstBytesAndItsLength) {
  temp_dir folder;
  const struct {
    std::size_t size;
    std::size_t kept;
  } cases[] = {{0, 0}, {30, 30}, {kept_payload_bytes, kept_payload_bytes}, {100000, kept_payload_bytes}};
  for (const auto& c : cases) {
    const std::string path = folder.write("300234010123450_" + std::to_string(c.size) + ".sbd",
                                          std::string(c.size, '\x01'));
    const collecting_sink found = walk({path});
    ASSERT_EQ(found.messages.size(), 1u);
    EXPECT_EQ(found.messages[0].bytes.size(), c.kept);
    EXPECT_EQ(found.messages[0].full_length, c.size);
    EXPECT_FALSE(found.messages[0].unreadable);
  }
}

TEST(FilesAndFolders, UnreadableFilesAndFolders) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  temp_dir folder;
  const std::string sbd = folder.write("300234010123450_1.sbd", "Updated");
  const std::string eml = folder.write("sms.eml", "Subject: 1@x\r\n\r\ng1\r\n");
  folder.write("closed/1_a.sbd", "Updated");
  ::chmod(sbd.c_str(), 0);
  ::chmod(eml.c_str(), 0);
  ::chmod((folder.path() + "/closed").c_str(), 0);
  const collecting_sink found = walk({sbd, eml, folder.path() + "/closed"});
  ASSERT_EQ(found.messages.size(), 2u);
  // What Kaldo_Command_Line prints for each.
  EXPECT_EQ(found.messages[0].unreadable, kaldo::read_refusal::cannot_read_sbd);
  EXPECT_EQ(found.messages[1].unreadable, kaldo::read_refusal::cannot_read_email);
  ASSERT_EQ(found.skips.size(), 1u);
  EXPECT_TRUE(found.skips[0].unreadable);
}

}  // namespace
}  // namespace kaldo::tool::testing
