// E-mails as Python's email package writes them, read through GMime.
#include <gtest/gtest.h>

#include "kaldo/kaldo.h"
#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

TEST(EmailSource, EveryAttachmentIsOneMessageNamedAfterIt) {
  KALDO_REQUIRE_FIXTURES();
  struct expected_part {
    std::string name;
    std::size_t length;
  };
  const struct {
    const char* file;
    std::vector<expected_part> parts;
  } cases[] = {
      {"one_attachment.eml", {{"300234010123450_000123.sbd", 30}}},
      {"two_attachments.eml", {{"300234010123450_000124.sbd", 86}, {"300234010123451_000007.sbd", 58}}},
      {"forwarded.eml", {{"300234010123452_000001.sbd", 30}}},
      {"path_in_name.eml", {{"../../etc/300234010123453_000001.sbd", 30}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const collecting_sink found = walk({fixture(c.file)});
    ASSERT_EQ(found.messages.size(), c.parts.size());
    EXPECT_TRUE(found.skips.empty());
    for (std::size_t i = 0; i < c.parts.size(); ++i) {
      const found_message& message = found.messages[i];
      EXPECT_EQ(message.kind, kaldo::encoding::sbd_payload);
      EXPECT_EQ(message.origin.part, c.parts[i].name);
      EXPECT_EQ(message.name, c.parts[i].name);
      EXPECT_EQ(message.origin.path, fixture(c.file));
      EXPECT_FALSE(message.origin.index);
      EXPECT_EQ(message.bytes.size(), c.parts[i].length);
      EXPECT_EQ(message.full_length, c.parts[i].length);
    }
  }
}

TEST(EmailSource, AttachmentDecodesToThePayload) {
  KALDO_REQUIRE_FIXTURES();
  const collecting_sink found = walk({fixture("one_attachment.eml")});
  ASSERT_EQ(found.messages.size(), 1u);
  // The payload of examples/300034012345671_single.sbd.
  EXPECT_EQ(found.messages[0].bytes, read_file(std::string(KALDO_EXAMPLES) + "/300034012345671_single.sbd"));
}

TEST(EmailSource, AnAttachmentLongerThanAnyMessageKeepsItsHeadAndLength) {
  KALDO_REQUIRE_FIXTURES();
  const collecting_sink found = walk({fixture("oversized_attachment.eml")});
  ASSERT_EQ(found.messages.size(), 1u);
  EXPECT_EQ(found.messages[0].bytes.size(), kept_payload_bytes);
  EXPECT_EQ(found.messages[0].full_length, 30u + 9000u);
}

TEST(EmailSource, BrokenBase64IsDecodedAsFarAsItGoesAndNeverStopsTheWalk) {
  KALDO_REQUIRE_FIXTURES();
  const collecting_sink found = walk({fixture("broken_base64.eml"), fixture("one_attachment.eml")});
  ASSERT_EQ(found.messages.size(), 2u);
  EXPECT_EQ(found.messages[0].origin.part, "300234010123454_000001.sbd");
  EXPECT_LT(found.messages[0].bytes.size(), 30u);
  EXPECT_EQ(found.messages[1].bytes.size(), 30u);
}

TEST(EmailSource, AnEmailWithoutSbdAttachmentIsAnSmsEmailReadAsSaved) {
  KALDO_REQUIRE_FIXTURES();
  // The body's transfer encoding is left alone: the saved file is the input.
  for (const char* file : {"no_attachment_sms.eml", "sms_quoted_printable.eml", "sms_base64.eml"}) {
    SCOPED_TRACE(file);
    const collecting_sink found = walk({fixture(file)});
    ASSERT_EQ(found.messages.size(), 1u);
    EXPECT_EQ(found.messages[0].kind, kaldo::encoding::sms_text);
    EXPECT_EQ(found.messages[0].bytes, read_file(fixture(file)));
    EXPECT_EQ(found.messages[0].name, file);
    EXPECT_FALSE(found.messages[0].origin.part);
  }
}

TEST(EmailSource, GarbageThatIsNoEmailIsStillAnSmsEmailAsTheProgramReadsIt) {
  temp_dir folder;
  constexpr char raw[] = "\x00\xff\r\n\r\nSubject: \x80\x81@\r\n--\r\n";
  const std::string bytes(raw, sizeof raw - 1);
  const std::string path = folder.write("garbage.eml", bytes);
  const collecting_sink found = walk({path});
  ASSERT_EQ(found.messages.size(), 1u);
  EXPECT_EQ(found.messages[0].bytes, bytes);
}

TEST(EmailSource, AnUnreadableEmlFileGetsTheProgramsText) {
  const collecting_sink found = walk({"/nonexistent/folder/x.eml"});
  // A path that does not exist is not an input at all.
  ASSERT_EQ(found.skips.size(), 1u);
  EXPECT_TRUE(found.skips[0].unreadable);
  EXPECT_TRUE(found.messages.empty());
}

}  // namespace
}  // namespace kaldo::tool::testing
