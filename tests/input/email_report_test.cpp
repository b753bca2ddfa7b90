#include "input/Q7rv_wmp_email_report.h"

#include <gtest/gtest.h>

#include "kaldo/names.h"

using namespace kaldo::detail;

using email = Q7RV_WMP_email_report;

TEST(EmailFindText, FirstOccurrenceAtOrAfterStart) {
  const struct {
    std::string text, pattern;
    long start, at;
  } rows[] = {
      {"abcabc", "abc", 0, 0},  {"abcabc", "abc", 1, 3}, {"abcabc", "bc", 4, 4},
      {"abc", "abcd", 0, -1},   {"abc", "c", 0, 2},      {"abc", "x", 0, -1},
      {"abc", "a", 5, -1},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(email::find_text(r.text, r.pattern, r.start), r.at) << r.text << "/" << r.pattern;
  }
}

TEST(EmailTextBetween, FirstLineBeginningWithTheMarker) {
  const std::pair<std::string, std::string> rows[] = {
      {"Subject: 12@x\r\nmore", "Subject: 12@x"},  // marker at the start stays
      {"A: b\r\nSubject: 12@x\r\n", " 12@x"},
      {"A: b\r\nSubject: 12@x", ""},              // no line end after it
      {"X-Subject: 9@x\r\nSUBJECT: 8@x\r\n", ""},
      {"A\r\nSubject: 1@\r\nSubject: 2@\r\n", " 1@"},
      {"Subj", ""},                               // shorter than the marker
      {"Subject: 5@x", ""},                       // at the start, no line end
  };
  for (const auto& [text, subject] : rows) {
    EXPECT_EQ(email::text_between(text, "Subject:", "\r\n"), subject) << text;
  }
}

TEST(EmailModemId, DigitsDirectlyBeforeTheFirstAt) {
  const std::pair<std::string, std::string> rows[] = {
      {" 123456789012345@sms.example.net", "123456789012345"},
      {" unit 42 and 123@host", "123"},
      {" no at sign", "UNKNOWN"},
      {"", "UNKNOWN"},
      {" name@host", ""},
      {"@host", ""},
      {" 12@a 34@b", "12"},
      {" 1234567890123456789012@x", "1234567890123456789012"},
  };
  for (const auto& [subject, id] : rows) EXPECT_EQ(modem_id_from_subject(subject), id) << subject;
}

// Where the backward scan from the "@" starts and stops: the character just
// before the "@", the first character of the Subject, and the characters
// on either side of the digits in code order.
TEST(EmailModemId, ScanBoundaries) {
  const std::pair<std::string, std::string> rows[] = {
      {"123@x", "123"},      // digits from the very first character
      {"7@x", "7"},          // one digit, at the start
      {"0@x", "0"},
      {"9@x", "9"},
      {"12a@x", ""},         // the character just before "@" is not a digit
      {"a1@x", "1"},         // the scan stops one character before the digits
      {"/12@x", "12"},       // "/" sits just below "0"
      {":12@x", "12"},       // ":" sits just above "9"
      {"1/2@x", "2"},
      {"1:2@x", "2"},
      {"12:@x", ""},
      {"12/@x", ""},
      {"@12", ""},           // digits after the "@" are not the id
      {"12@34@x", "12"},     // only the first "@" counts
      {"x 5@", "5"},         // "@" as the last character
      {std::string(1, '\0') + "42@x", "42"},  // a NUL before the digits
  };
  for (const auto& [subject, id] : rows) {
    EXPECT_EQ(modem_id_from_subject(subject), id) << subject;
    EXPECT_EQ(kaldo::read_sms_email("Subject:" + subject + "\r\n\r\nA").modem_id, id)
        << subject;
  }
}

TEST(EmailParse, BodyAfterTheFirstBlankLineTrimmed) {
  struct row {
    const char* name;
    std::string content;
    std::string id, message;
  };
  const row rows[] = {
      {"two CR LF pairs trimmed", "Subject: 5@x\r\n\r\nABC\r\n\r\n", "5", "ABC"},
      {"two pairs leave one", "Subject: 5@x\r\n\r\n\r\n\r\n", "5", "\r\n"},
      {"one pair stays", "Subject: 5@x\r\n\r\n\r\n", "5", "\r\n"},
      {"empty body", "Subject: 5@x\r\n\r\n", "5", ""},
      {"other endings stay", "Subject: 5@x\r\n\r\nA \n", "5", "A \n"},
      {"a second blank line stays in the body", "S: 1\r\n\r\nA\r\n\r\nB", "UNKNOWN",
       "A\r\n\r\nB"},
      {"body line used without a header one", "From: a\r\n\r\nSubject: 77@x\r\nz",
       "77", "Subject: 77@x\r\nz"},
      {"bare line feeds", "From: a\nSubject: 88@x\n\nABC\n\n", "88", "ABC"},
      {"bare line feeds, Subject first", "Subject: 88@x\n\nABC", "88", "ABC"},
      {"bare line feeds, one left", "Subject: 88@x\n\n\n\n", "88", "\n"},
      {"CR LF blank line anywhere decides", "Subject: 1@x\n\nA\r\n\r\nB", "1", "B"},
  };
  for (const row& r : rows) {
    email e;
    ASSERT_EQ(e.parse_content(r.content), 0) << r.name;
    EXPECT_EQ(e.get_modem_id(), r.id) << r.name;
    EXPECT_EQ(e.get_message(), r.message) << r.name;
  }
}

TEST(EmailParse, NoBlankLineIsInvalid) {
  for (const std::string content : {"", "Subject: 1@x\r\nbody", "a\nb\r\n"}) {
    email e;
    EXPECT_EQ(e.parse_content(content), email::invalid_format) << content;
  }
}
