// mbox files as Python's mailbox module writes them.
#include <gtest/gtest.h>

#include "kaldo/sources/mbox.h"
#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

TEST(MboxSource, EveryEmailInOrderWithItsIndex) {
  KALDO_REQUIRE_FIXTURES();
  const std::string mbox = fixture("small.mbox");
  const collecting_sink found = walk({mbox});
  ASSERT_EQ(found.messages.size(), 4u);
  EXPECT_TRUE(found.skips.empty());
  const struct {
    std::uint64_t index;
    kaldo::encoding kind;
    std::string name;
  } expected[] = {
      {1, kaldo::encoding::sbd_payload, "300234010123456_000001.sbd"},
      {2, kaldo::encoding::sms_text, "small.mbox.2.eml"},
      {3, kaldo::encoding::sbd_payload, "300234010123456_000002.sbd"},
      {4, kaldo::encoding::sms_text, "small.mbox.4.eml"},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(found.messages[i].source, mbox);
    EXPECT_EQ(found.messages[i].index, expected[i].index);
    EXPECT_EQ(found.messages[i].kind, expected[i].kind);
    EXPECT_EQ(found.messages[i].name, expected[i].name);
  }
}

TEST(MboxSource, AnSmsEmailIsTheEmailAUserSavesFromTheMbox) {
  KALDO_REQUIRE_FIXTURES();
  // Python's mailbox wrote no. 2 with CR LF and no. 4 with bare line feeds;
  // saved as .eml both have CR LF, no "From " line and no separator line.
  const collecting_sink found = walk({fixture("small.mbox")});
  ASSERT_EQ(found.messages.size(), 4u);
  EXPECT_EQ(found.messages[1].bytes, read_bytes(fixture("small.mbox.2.saved.eml")));
  EXPECT_EQ(found.messages[3].bytes, read_bytes(fixture("small.mbox.4.saved.eml")));
}

TEST(MboxSource, KnownByItsFirstLine) {
  const struct {
    const char* head;
    bool mbox;
  } cases[] = {
      {"From MAILER-DAEMON Wed Dec  9 02:58:07 2026\n", true},
      {"From: someone@example.org\n", false},
      {"Received: from x\n", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(looks_like_mbox(c.head), c.mbox) << c.head;
}

TEST(MboxSource, TruncatedAndGarbageMboxesNeverStopTheRun) {
  KALDO_REQUIRE_FIXTURES();
  const std::string whole = read_bytes(fixture("small.mbox"));
  scratch_folder folder;
  const std::string cut = folder.write("cut.mbox", whole.substr(0, whole.size() / 2));
  const std::string garbage = folder.write("garbage.mbox", "From \n\xff\xfe\x00\x01" + std::string(5000, '\x80'));
  const collecting_sink found = walk({cut, garbage, fixture("one_attachment.eml")});
  ASSERT_FALSE(found.messages.empty());
  EXPECT_EQ(found.messages.back().part, "300234010123450_000123.sbd");
}

}  // namespace
}  // namespace kaldo::tool::testing
