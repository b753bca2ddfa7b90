#include "convert/report_walk.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

using namespace kaldo::detail;

TEST(ReportWalk, MissedLinesBeforeAllButTheLastOfTwoToFour) {
  const struct {
    std::size_t count, index;
    std::string line;
  } rows[] = {
      {1, 0, ""}, {2, 0, "Missed 1\r\n"}, {2, 1, ""}, {3, 1, "Missed 2\r\n"},
      {4, 2, "Missed 3\r\n"}, {4, 3, ""}, {5, 0, ""},
  };
  for (const auto& r : rows) EXPECT_EQ(missed_line(r.count, r.index), r.line);
}

TEST(ReportWalk, ModemIdLines) {
  gps_report_convert record;
  EXPECT_EQ(modem_id_line(record, modem_id_line_kind::bare_line), "\r\n");
  EXPECT_EQ(modem_id_line(record, modem_id_line_kind::labelled_line),
            "ModemID=No ModemID\r\n");
  record.modem_id = "42";
  EXPECT_EQ(modem_id_line(record, modem_id_line_kind::id_element), "<ID>42</ID>\r\n");
}

TEST(ReportWalk, ModemIdFromTheMessageTail) {
  struct row {
    const char* name;
    int type;
    int input_mode;
    std::string tail;
    std::string id;
  };
  const row rows[] = {
      {"underscore becomes a space, CR ends", 1, 0, "300_12\rmore", "300 12"},
      {"a NUL byte ends it too", 1, 0, std::string("300\0_12", 7), "300"},
      {"no tail empties the id", 1, 0, "", ""},
      {"type 103 is GSM", 103, 0, "\x1b\x3c" "1_\x24\r", "[1\xa7\xa4"},
      {"SMS keeps underscores", 1, 2, "a_b", "a_b"},
  };
  for (const row& r : rows) {
    gps_report_convert record;
    record.message_type = static_cast<std::int16_t>(r.type);
    record.input_mode = static_cast<unsigned char>(r.input_mode);
    record.modem_id = "from the reader";
    read_modem_id_from_tail(record, reinterpret_cast<const unsigned char*>(r.tail.data()),
                            r.tail.size());
    EXPECT_EQ(record.modem_id, r.id) << r.name;
  }
}

TEST(ReportWalk, AnnouncedIdWithoutTailPrintsNoModemId) {
  binary_fields f;
  f.flags = 0x84;
  const auto d = decode_with(make_message(1, {binary_report(f)}), 2, 0, "123456");
  EXPECT_EQ(d.out.substr(0, 20), "ModemID=No ModemID\r\n");
}

TEST(ReportWalk, GpsiNumbersCountDownPastNine) {
  const std::vector<std::string> reports(12, packed_report({}));
  const auto d = decode_with(make_message(3, reports), 6);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.out.find("<Report N=;>"), d.out.find("<Report N="));
  const auto third = d.out.find("<Report N=9>");
  EXPECT_NE(third, std::string::npos);
  EXPECT_EQ(d.out.substr(d.out.size() - 7), "</GPSI>");
}

TEST(ReportWalk, NulReportNumberDoesNotCutTheOutput) {
  // With 209 reports the report numbered 48 + 208 is a NUL character.
  const std::vector<std::string> reports(209, packed_report({}));
  const auto d = decode_with(make_message(3, reports), 1);
  ASSERT_EQ(d.result, 0);
  EXPECT_NE(d.out.find(std::string("<Report N=\0>", 12)), std::string::npos);
  EXPECT_EQ(d.out.substr(d.out.size() - 7), "</GPSI>");
}

TEST(ReportWalk, StatusLineFromTheFirstReport) {
  packed_fields emergency;
  emergency.emergency = 1;
  const std::string message =
      make_message(3, {packed_report(emergency), packed_report({})});
  const struct {
    int format;
    std::string status;
  } rows[] = {{6, "<ID>77</ID>\r\n<Emergency>1</Emergency>\r\n"},
              {7, "ModemID=77\r\nEmergency\r\nMissed 1\r\n"},
              {8, "77\r\n1\r\n"},
              {9, "ModemID=77\r\nEmergency\r\nMissed 1\r\n"},
              {10, "77\r\nEmergency\r\n$GPGGA"}};
  for (const auto& r : rows) {
    const auto d = decode_with(message, r.format, 0, "77");
    EXPECT_NE(d.out.find(r.status), std::string::npos) << r.format;
  }
  const auto normal = decode_with(make_message(3, {packed_report({})}), 9, 0, "77");
  EXPECT_EQ(normal.out.substr(0, 21), "ModemID=77\r\nUTC Time=");
}

TEST(ReportWalk, NoReportsGivesOnlyTheFraming) {
  const std::string message = make_message(1, {}, std::string(28, 'x'));
  EXPECT_EQ(decode_with(message, 6, 0, "77").out, "<GPSI>\r\n<ID>77</ID>\r\n</GPSI>");
  EXPECT_EQ(decode_with(message, 7, 0, "").out, "ModemID=No ModemID\r\n");
}
