// SMS e-mails, as mail programs save them, converted by the real program.
#include <gtest/gtest.h>

#include "tests/test_support.h"

using namespace kaldo::detail;

namespace {

const std::string fixtures = KALDO_FIXTURES;

const std::string easy_7 =
    "ModemID=300034012345678\r\nNormal\r\nUTC Time=12:30:05.25\r\n"
    "UTC Date=05-17-08\r\nLatitude=33:45.12345 North\r\n"
    "Longitude=117:50.67891 West\r\nAltitude=123.45 meters\r\n"
    "Ground Velocity=12.5 km/h at 45.60 degrees from True North\r\n"
    "Vertical Velocity=0.125 m/s\r\nValid Position Fix\r\nSatellites Used=09\r\n\r\n";

const std::string easy_2 =
    "ModemID=300034012345678\r\nUTC Time=12:30:05.250\r\n"
    "UTC Date=05-17-08\r\nLatitude=33:45.1235 North\r\n"
    "Longitude=117:50.6789 West\r\nAltitude=123.45 meters\r\n"
    "Ground Velocity=12.5 km/h at 45.60 degrees from True North\r\n"
    "Satellites Used=09\r\n\r\n";

const std::string nmea_10 =
    "300034012345678\r\nNormal\r\n"
    "$GPGGA,123005.25,3345.12345,N,11750.67891,W,1,09,,123.45,M,,M,,*77\r\n"
    "$GPVTG,45.60,T,,M,6.75,N,12.5,K*65\r\n"
    "$GPZDA,123005.25,17,05,2008,00,00*6D\r\n";

const std::string report_hex = "781E45193A11212D75320C22384E5B5A3201172D1E0C320C32D011C0";

std::string email_with_body(const std::string& subject, const std::string& body) {
  return "From: a@example.net\r\nSubject: " + subject +
         "\r\nMIME-Version: 1.0\r\n\r\n" + body + "\r\n";
}

}  // namespace

TEST(EmailProgram, MailProgramFilesInEveryLineEnding) {
  for (const std::string file : {"python_email.eml", "python_email_lf.eml"}) {
    const struct {
      std::string format;
      const std::string& out;
    } rows[] = {{"2", easy_2}, {"7", easy_7}, {"10", nmea_10}};
    for (const auto& r : rows) {
      const auto run = run_program({file, r.format}, fixtures);
      EXPECT_EQ(run.out, r.out) << file << " " << r.format;
      EXPECT_EQ(run.status, 0) << file << " " << r.format;
      EXPECT_EQ(run.err, "");
    }
  }
}

TEST(EmailProgram, TextsAndFailures) {
  temp_dir dir;
  const struct {
    const char* name;
    std::string content;
    std::string out;
    int status;
  } rows[] = {
      {"chat message", email_with_body("1@x", "sHello"),
       "Error: This is a Chat Message not a GPS Report.\r\n", 255},
      {"chat message response", email_with_body("1@x", "rOK"),
       "Error: This is a Chat Message Response not a GPS Report.\r\n", 255},
      {"remote update response", email_with_body("1@x", "tr 1"),
       "Error: This is a Remote Update Response not a GPS Report.\r\n", 255},
      {"lower-case hex digit",
       email_with_body("1@x", "g1" + report_hex.substr(0, 55) + "c"),
       "Error: Invalid Format\r\n", 255},
      {"too short to hold a report", email_with_body("1@x", "g1" + report_hex.substr(0, 40)),
       "Error: Less than Minimum Length\r\n", 255},
      {"no Subject line", "From: a\r\n\r\ng0" + report_hex + "\r\n",
       "<GPSI>\r\n<ID>UNKNOWN</ID>\r\n</GPSI>", 0},
      {"NUL byte in the body", email_with_body("1@x", std::string("g1\0", 3) + report_hex),
       "Error: Invalid Length", 255},
      {"only line feeds", std::string(5, '\n'), "Error: Less than Minimum Length\r\n", 255},
      {"no blank line", "Subject: 1@x\r\n", "Error:Invalid Format", 255},
  };
  for (const auto& r : rows) {
    dir.write("m.eml", r.content);
    const auto run = run_program({"m.eml", "6"}, dir.path());
    EXPECT_EQ(run.out, r.out) << r.name;
    EXPECT_EQ(run.status, r.status) << r.name;
  }
  const auto missing = run_program({"missing.EML", "7"}, dir.path());
  EXPECT_EQ(missing.out, "Error:Cannot Open File");
  EXPECT_EQ(missing.status, 255);
}
