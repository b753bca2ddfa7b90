// E-mails as Python's email package writes them, read through GMime.
#include <gtest/gtest.h>

#include "kaldo/kaldo.h"
#include "tool/sources/email.h"
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

TEST(EmailSource, AnEmptyAttachmentIsAnEmptyMessageNotAnUnreadableFile) {
  KALDO_REQUIRE_FIXTURES();
  const struct {
    const char* file;
    const char* name;
  } cases[] = {
      {"empty_attachment.eml", "300234010123458_000001.sbd"},  // 7bit: read from the file as it is
      {"empty_attachment_base64.eml", "300234010123458_000002.sbd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const collecting_sink found = walk({fixture(c.file)});
    EXPECT_TRUE(found.skips.empty()) << (found.skips.empty() ? "" : found.skips[0].reason);
    ASSERT_EQ(found.messages.size(), 1u);
    EXPECT_EQ(found.messages[0].name, c.name);
    EXPECT_EQ(found.messages[0].bytes, "");
    EXPECT_EQ(found.messages[0].full_length, 0u);
    EXPECT_FALSE(found.messages[0].unreadable);
  }
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

// An e-mail an archive unpacks is read as the same e-mail in a file: in
// memory when small, from a temporary file past held_email_bytes.
TEST(EmailSource, AnUnpackedEmailReadsAsItsFile) {
  KALDO_REQUIRE_FIXTURES();
  const std::string saved = read_file(fixture("one_attachment.eml"));
  // The same e-mail with a text part long enough to leave memory.
  const std::size_t boundary_at = saved.find("\r\n--", saved.find("\r\n\r\n"));
  ASSERT_NE(boundary_at, std::string::npos);
  std::string padding;
  while (padding.size() <= held_email_bytes) padding += "\r\n" + std::string(70, 'x');
  temp_dir folder;
  const std::string large = folder.write("large.eml", saved.substr(0, boundary_at) + padding + saved.substr(boundary_at));
  const std::string files[] = {fixture("one_attachment.eml"), fixture("two_attachments.eml"),
                               fixture("forwarded.eml"),      fixture("no_attachment_sms.eml"),
                               fixture("sms_base64.eml"),     fixture("broken_base64.eml"),
                               fixture("oversized_attachment.eml"), large};
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    email_place place;
    place.source = file;
    place.sms_name = "x.eml";
    recording_sink from_file;
    read_email_file(place, from_file);
    ASSERT_NE(from_file.log.str().find("found"), std::string::npos);
    recording_sink unpacked;
    memory_bytes bytes(read_file(file));
    read_email_unpacked(bytes, place, unpacked);
    EXPECT_EQ(first_difference(unpacked.log.str(), from_file.log.str()), "");
  }
  // Bytes that fail hand on nothing: the archive's reader says why.
  for (const std::size_t fails_at : {std::size_t{0}, saved.size() / 2, boundary_at + held_email_bytes}) {
    recording_sink broken;
    memory_bytes bytes(fails_at > saved.size() ? read_file(large) : saved, 4093, fails_at);
    email_place place;
    place.source = "broken.eml";
    read_email_unpacked(bytes, place, broken);
    EXPECT_EQ(broken.log.str(), "") << fails_at;
    EXPECT_FALSE(bytes.failure().empty());
  }
}

}  // namespace
}  // namespace kaldo::tool::testing
