// Reading saved messages through the public interface: each refusal is a
// value that prints exactly what the program prints, and a message read
// from a file, from an e-mail's bytes or from an attachment converts the
// same way.
#include <gtest/gtest.h>

#include "kaldo/kaldo.h"
#include "tests/test_support.h"

namespace {

TEST(ReadSavedMessage, FilesAndTheirRefusals) {
  temp_dir dir;
  const std::string report = make_message(3, {packed_report({})});
  dir.write("300034012345670_1.sbd", report);
  dir.write("42_long.SBD", std::string(kaldo::max_message_bytes + 500, '\1'));
  dir.write("sms.eml", "Subject: 77@x\r\n\r\nbody\r\n\r\n");
  dir.write("nobody.EML", "Subject: 77@x\r\nbody");
  dir.write("nosubject.eml", "From: x\r\n\r\nbody");
  dir.write("wrong.Sbd", report);
  const struct {
    const char* name;
    std::string file;
    std::optional<kaldo::read_refusal> refusal;
    kaldo::encoding kind;
    std::string modem_id;
    std::string bytes;
    std::uint64_t full_length;
  } cases[] = {
      {"an attachment: its bytes, the id of its name", "300034012345670_1.sbd", {},
       kaldo::encoding::sbd_payload, "300034012345670", report, report.size()},
      {"a payload longer than any message keeps one byte more than the longest", "42_long.SBD", {},
       kaldo::encoding::sbd_payload, "42", std::string(kaldo::max_message_bytes + 1, '\1'),
       kaldo::max_message_bytes + 500},
      {"an SMS e-mail: the body without its trailing line ends", "sms.eml", {},
       kaldo::encoding::sms_text, "77", "body", 0},
      {"no @ in the Subject", "nosubject.eml", {}, kaldo::encoding::sms_text, "UNKNOWN", "body", 0},
      {"an e-mail without a blank line", "nobody.EML", kaldo::read_refusal::no_email_body,
       kaldo::encoding::sms_text, "", "", 0},
      {"a missing .sbd file", "missing_1.sbd", kaldo::read_refusal::cannot_read_sbd,
       kaldo::encoding::sbd_payload, "", "", 0},
      {"a missing .eml file", "missing.eml", kaldo::read_refusal::cannot_read_email,
       kaldo::encoding::sms_text, "", "", 0},
      {"an extension of the wrong case", "wrong.Sbd", kaldo::read_refusal::unknown_extension,
       kaldo::encoding::sbd_payload, "", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.path() + "/" + c.file;
    const kaldo::saved_message saved = kaldo::read_message_file(path);
    EXPECT_EQ(saved.refusal, c.refusal);
    EXPECT_EQ(saved.kind, c.kind);
    EXPECT_EQ(saved.modem_id, c.modem_id);
    EXPECT_EQ(saved.bytes, c.bytes);
    if (c.kind == kaldo::encoding::sbd_payload) {
      EXPECT_EQ(saved.full_length, c.full_length);
    }

    // What a program makes of it is what convert_file gives, to the byte.
    kaldo::settings how;
    how.format = 8;
    const kaldo::file_conversion whole = kaldo::convert_file(path, how);
    if (saved.refusal) {
      EXPECT_EQ(whole.output, kaldo::printed(*saved.refusal));
      EXPECT_EQ(whole.exit_status, kaldo::exit_status(*saved.refusal));
    } else {
      EXPECT_EQ(whole.output, kaldo::convert_message(saved.view(), saved.with_modem_id(how)).printed());
    }
  }
}

TEST(ReadSavedMessage, RefusalsPrintWhatTheProgramPrints) {
  const struct {
    kaldo::read_refusal refusal;
    std::string_view printed;
    int status;
  } cases[] = {
      {kaldo::read_refusal::cannot_read_sbd, "Cannot Open File.\r\n", 1},
      {kaldo::read_refusal::cannot_read_email, "Error:Cannot Open File", -1},
      {kaldo::read_refusal::no_email_body, "Error:Invalid Format", -1},
      {kaldo::read_refusal::unknown_extension, "Invalid File Extension", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kaldo::printed(c.refusal), c.printed);
    EXPECT_EQ(kaldo::exit_status(c.refusal), c.status);
  }
}

TEST(ReadSavedMessage, BytesInMemoryReadAsTheSameSavedFile) {
  temp_dir dir;
  const std::string payload = make_message(1, {binary_report({})});
  const std::string email = "Subject: 12345@sms\r\n\r\n" + std::string("1") + "\r\n";
  dir.write("555_9.sbd", payload);
  dir.write("m.eml", email);
  const kaldo::saved_message from_attachment = kaldo::read_sbd_attachment("555_9.sbd", payload);
  const kaldo::saved_message from_email = kaldo::read_sms_email_message(email);
  for (const auto& [in_memory, file] :
       {std::pair{from_attachment, std::string("555_9.sbd")}, std::pair{from_email, std::string("m.eml")}}) {
    SCOPED_TRACE(file);
    const kaldo::saved_message saved = kaldo::read_message_file(dir.path() + "/" + file);
    EXPECT_EQ(in_memory.refusal, saved.refusal);
    EXPECT_EQ(in_memory.kind, saved.kind);
    EXPECT_EQ(in_memory.modem_id, saved.modem_id);
    EXPECT_EQ(in_memory.bytes, saved.bytes);
  }
  EXPECT_EQ(kaldo::read_sms_email_message("Subject: 1@x\r\nno blank line").refusal,
            kaldo::read_refusal::no_email_body);
}

TEST(ReadSavedMessage, FormatNumbersAreOneRange) {
  for (int number : {-1, 0, 11, 100}) EXPECT_FALSE(kaldo::is_format_number(number)) << number;
  for (int number = kaldo::first_format; number <= kaldo::last_format; ++number) {
    EXPECT_TRUE(kaldo::is_format_number(number));
  }
  kaldo::settings how;
  how.format = kaldo::last_format + 1;
  EXPECT_EQ(kaldo::convert_message({}, how).result, kaldo::outcome::invalid_settings);
}

}  // namespace
