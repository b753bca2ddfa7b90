// Maildir folders as Python's mailbox module writes them, with the index
// files a mail server keeps beside them.
#include <gtest/gtest.h>

#include <filesystem>

#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

TEST(MaildirSource, EveryEmailOfCurAndNewAndNothingOfTheServersFiles) {
  KALDO_REQUIRE_FIXTURES();
  const collecting_sink found = walk({fixture("Maildir")});
  ASSERT_EQ(found.messages.size(), 2u);
  EXPECT_TRUE(found.skips.empty()) << found.skips[0].path;
  std::size_t sms = 0;
  for (const found_message& message : found.messages) {
    // The message file itself, never just the folder.
    EXPECT_TRUE(message.origin.path.starts_with(fixture("Maildir/new/"))) << message.origin.path;
    EXPECT_FALSE(message.origin.index);
    if (message.kind == kaldo::encoding::sms_text) {
      ++sms;
      EXPECT_EQ(message.name, message.origin.path.substr(message.origin.path.rfind('/') + 1) + ".eml");
      EXPECT_NE(message.bytes.find("\r\n\r\n"), std::string::npos);
    }
  }
  EXPECT_EQ(sms, 1u);
}

TEST(MaildirSource, DeliveriesInProgressAndDotFilesArePassedOver) {
  temp_dir folder;
  const std::string email = "Subject: 300234010123450@x\n\ng1\n";
  folder.write("md/cur/1.host:2,S", email);
  folder.write("md/new/.hidden", email);
  folder.write("md/tmp/2.host", email);
  folder.write("md/courierimapuiddb", "1 2\n");
  folder.write("md/.Sent/new/3.host", email);
  std::filesystem::create_directories(folder.path() + "/md/.Sent/cur");
  const collecting_sink found = walk({folder.path() + "/md"});
  ASSERT_EQ(found.messages.size(), 2u);
  EXPECT_EQ(found.messages[0].origin.path, folder.path() + "/md/cur/1.host:2,S");
  EXPECT_EQ(found.messages[1].origin.path, folder.path() + "/md/.Sent/new/3.host");
  EXPECT_TRUE(found.skips.empty());
  // Stored with bare line feeds, handed on with the CR LF of a saved file.
  EXPECT_EQ(found.messages[0].bytes, "Subject: 300234010123450@x\r\n\r\ng1\r\n");
}

}  // namespace
}  // namespace kaldo::tool::testing
