// The real program run on files: exact standard output and exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_support.h"

using namespace kaldo::detail;

namespace {

const std::string usage =
    "Kaldo Command Line Version 5.0.0 Standard\r\n"
    "This program converts the SBD attachements of email or SMS emails from the "
    "Verrow Tracker Units Q7RV-HBK or Q7RV-WMP, into text readable formats.\r\n"
    "This program is backwards compatible with the Q7RV-OFY.\r\n"
    "To use this program please enter the following variables:\r\n"
    "1: File name of SBD Attachment or SMS email message. The type of the report "
    "is based on the file extension. If .sbd then an SBD report is assumed and "
    "if .eml then an SMS report is assumed\r\n"
    "2: Format for the conversion with values:\r\n"
    "   Format before version 3.2\r\n"
    "   1 - GPSI XML String\r\n"
    "   2 - Easy to Read Text\r\n"
    "   3 - Compact Delimited Text\r\n"
    "   4 - Original Text format from 2Way Mode\r\n"
    "   5 - NMEA GGA and VTG format\r\n"
    "   Format after version 3.2\r\n"
    "   6 - GPSI XML String\r\n"
    "   7 - Easy to Read Text\r\n"
    "   8 - Compact Delimited Text\r\n"
    "   9 - Original Text format from 2Way Mode\r\n"
    "   10 - NMEA GGA and VTG format\r\n"
    "If an SBD report this program also assumes the Modem ID will be at the "
    "beginning of the filename and followed by a _.\r\n"
    "Optional:\r\n"
    "\\YMillenniumCentury - Millennium and Century to append for original "
    "version and NMEA GGA and VTG. If not specified then 20 is assumed.\r\n";

struct e2e_row {
  const char* name;
  std::vector<std::string> args;
  std::string out;
  int status;
};

// Files every row can name.
void write_fixtures(const temp_dir& dir) {
  dir.write("42_one.sbd", make_message(3, {packed_report({})}));
  dir.write("42_update.sbd", "Updated");
  dir.write("42_short.sbd", std::string(29, '\1'));
  dir.write("42_type.sbd", make_message(4, {packed_report({})}));
  dir.write("42_none.SBD", make_message(1, {}, std::string(28, '\0')));
  dir.write("chat.eml", "Subject: 5@x\r\n\r\nsHello\r\n");
  dir.write("noblank.eml", "Subject: 5@x\r\nbody");
}

const std::string one_report_7 =
    "ModemID=42\r\nNormal\r\nUTC Time=12:30:05.25\r\nUTC Date=05-17-08\r\n"
    "Latitude=33:45.12345 North\r\nLongitude=117:50.67891 East\r\n"
    "Altitude=123.45 meters\r\n"
    "Ground Velocity=12.5 km/h at 45.60 degrees from True North\r\n"
    "Vertical Velocity=0.125 m/s\r\nValid Position Fix\r\nSatellites Used=09\r\n\r\n";

}  // namespace

TEST(Program, CommandLineAndMessages) {
  const e2e_row rows[] = {
      {"no arguments", {}, usage, 0},
      {"file name alone", {"42_one.sbd"}, usage, 0},
      {"two optional arguments", {"42_one.sbd", "7", "\\Y19", "\\x"}, usage, 0},
      {"bad extension", {"42_one.txt", "7"}, "Invalid File Extension", 255},
      {"mixed-case extension", {"42_one.Sbd", "7"}, "Invalid File Extension", 255},
      {"range message then extension",
       {"x.txt", "11"},
       "The Conversion Format must be between 1 and 10.Invalid File Extension", 255},
      {"range message then the output in format 6",
       {"42_none.SBD", "0"},
       "The Conversion Format must be between 1 and 10.<GPSI>\r\n<ID>42</ID>\r\n</GPSI>", 0},
      {"huge format number is format 6 too",
       {"42_none.SBD", "4294967303"},
       "The Conversion Format must be between 1 and 10.<GPSI>\r\n<ID>42</ID>\r\n</GPSI>", 0},
      {"missing SBD file", {"9_missing.sbd", "7"}, "Cannot Open File.\r\n", 1},
      {"directory named .sbd", {"dir.sbd", "7"}, "Cannot Open File.\r\n", 1},
      {"missing e-mail", {"missing.eml", "7"}, "Error:Cannot Open File", 255},
      {"directory named .eml", {"dir.eml", "7"}, "Error:Cannot Open File", 255},
      {"e-mail without a blank line", {"noblank.eml", "7"}, "Error:Invalid Format", 255},
      {"bad first option", {"42_one.sbd", "7", "Y19"},
       "The optional arguments need to begin with a \\.", 255},
      {"bad century option", {"42_one.sbd", "7", "\\Y1"},
       "The format for adding the millinium and century is \\Ymc where mc "
       "represents the millinium and century.\r\n", 255},
      {"encryption", {"42_one.sbd", "7", "\\eu:", "\\ep:", "\\ekey:"},
       "This program does not support the encryption feature.\r\n", 255},
      {"remote update", {"42_update.sbd", "7"},
       "Error: This is a Remote Update Response not a GPS Report.\r\n", 255},
      {"too short", {"42_short.sbd", "7"}, "Error: Less than Minimum Length\r\n", 255},
      {"bad type", {"42_type.sbd", "7"}, "Error: Invalid Format\r\n", 255},
      {"chat", {"chat.eml", "2"}, "Error: This is a Chat Message not a GPS Report.\r\n", 255},
      {"one report", {"42_one.sbd", "7"}, one_report_7, 0},
      {"century option", {"42_one.sbd", "9", "\\Y19"},
       "ModemID=42\r\nUTC Time=12:30:05.25\r\nUTC Date=05-17-1908\r\n"
       "Latitude=33:45.12345 North\r\nLongitude=117:50.67891 East\r\n"
       "Altitude=123.45 meters\r\nSatellites Used=09\r\n\r\n", 0},
  };
  temp_dir dir;
  mkdir((dir.path() + "/dir.sbd").c_str(), 0755);
  mkdir((dir.path() + "/dir.eml").c_str(), 0755);
  write_fixtures(dir);
  for (const e2e_row& row : rows) {
    const auto run = run_program(row.args, dir.path());
    EXPECT_EQ(run.out, row.out) << row.name;
    EXPECT_EQ(run.status, row.status) << row.name;
    EXPECT_EQ(run.err, "") << row.name;
  }
}

TEST(Program, PathsWithDirectoriesKeepTheModemId) {
  temp_dir dir;
  mkdir((dir.path() + "/data").c_str(), 0755);
  dir.write("data/123456789012345_1.sbd", make_message(3, {packed_report({})}));
  const auto run = run_program({"data/123456789012345_1.sbd", "3"}, dir.path());
  EXPECT_EQ(run.out.substr(0, 17), "123456789012345\r\n");
  EXPECT_EQ(run.status, 0);
}

TEST(Program, UnwritableOutputIsAFailure) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
  temp_dir dir;
  write_fixtures(dir);
  // A shell redirects standard output to the full device.
  const std::string command = "cd '" + dir.path() + "' && '" KALDO_EXECUTABLE
                              "' 42_one.sbd 7 > /dev/full 2>/dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);
}

TEST(Program, BundledExamplesConvert) {
  const auto run = run_program({"300034012345673_named.sbd", "7"}, KALDO_EXAMPLES);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.substr(0, 17), "ModemID=Unit[7]\r\n");
}
