// Text on its way to GDAL: UTF-8 from Latin-1 bytes, and instants as
// ISO 8601.
#include <gtest/gtest.h>

#include <chrono>

#include "tool/utc_text.h"
#include "tool/display_text.h"

namespace kaldo::tool {
namespace {

struct utf8_case {
  const char* name;
  std::string bytes;
  std::string shown;  // as GDAL and the database get it
};

class PathTextCases : public ::testing::TestWithParam<utf8_case> {};

// Paths and attachment names reach GDAL as the summary and the report show
// them: UTF-8 kept, any byte outside it replaced.
TEST_P(PathTextCases, KeepsUtf8AndReplacesEveryOtherByte) {
  const utf8_case& c = GetParam();
  EXPECT_EQ(path_to_utf8(c.bytes), c.shown);
}

const std::string replaced = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    , PathTextCases,
    ::testing::Values(
        utf8_case{"ascii", "300034012345670", "300034012345670"},
        utf8_case{"empty", "", ""},
        utf8_case{"two_byte_letter", "caf\xC3\xA9", "caf\xC3\xA9"},
        utf8_case{"four_byte_symbol", "\xF0\x9F\x9B\xB0", "\xF0\x9F\x9B\xB0"},
        utf8_case{"latin1_letter", "caf\xE9.sbd", "caf" + replaced + ".sbd"},
        utf8_case{"cut_short_sequence", "ab\xC3", "ab" + replaced},
        utf8_case{"lone_continuation", "\x80x", replaced + "x"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Latin1ToUtf8, TranscodesEveryByteEvenWhenItLooksLikeUtf8) {
  // A modem id is Latin-1 by definition: "Ã©" stays two characters.
  EXPECT_EQ(latin1_to_utf8("\xC3\xA9"), "\xC3\x83\xC2\xA9");
  EXPECT_EQ(latin1_to_utf8("\xFF"), "\xC3\xBF");
  EXPECT_EQ(latin1_to_utf8("No ModemID"), "No ModemID");
}

struct time_case {
  const char* name;
  std::string text;
  bool readable;
};

class Iso8601Cases : public ::testing::TestWithParam<time_case> {};

TEST_P(Iso8601Cases, ReadsBackWhatItWrites) {
  const time_case& c = GetParam();
  const auto time = parse_iso8601(c.text);
  ASSERT_EQ(time.has_value(), c.readable);
  if (time) {
    EXPECT_EQ(utc_iso8601(*time), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    , Iso8601Cases,
    ::testing::Values(time_case{"milliseconds", "2008-05-17T12:30:05.250Z", true},
                      time_case{"last_millisecond_of_a_leap_year", "2008-12-31T23:59:59.999Z", true},
                      time_case{"leap_day", "2024-02-29T00:00:00.000Z", true},
                      time_case{"before_2000", "1999-01-01T00:00:00.001Z", true},
                      time_case{"no_leap_day_in_2100", "2100-02-29T00:00:00.000Z", false},
                      time_case{"month_13", "2008-13-01T00:00:00.000Z", false},
                      time_case{"hour_24", "2008-05-17T24:00:00.000Z", false},
                      time_case{"no_milliseconds", "2008-05-17T12:30:05Z", false},
                      time_case{"offset_instead_of_z", "2008-05-17T12:30:05.250+00", false},
                      time_case{"sign_in_a_number", "2008-05-17T12:30:-5.250Z", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UtcIso8601, WritesMillisecondsAndZ) {
  using namespace std::chrono;
  struct row {
    const char* name;
    kaldo::utc_time time;
    const char* want;
  };
  const sys_days may_17_2008 = 2008y / May / 17;
  const row rows[] = {
      {"a binary-layout report", kaldo::utc_time(may_17_2008 + 12h + 30min + 5s + 250ms),
       "2008-05-17T12:30:05.250Z"},
      {"hundredths get a third digit", kaldo::utc_time(may_17_2008 + 9h + 5min + 7s + 990ms),
       "2008-05-17T09:05:07.990Z"},
      {"the epoch", kaldo::utc_time{}, "1970-01-01T00:00:00.000Z"},
      {"before the epoch counts back", kaldo::utc_time(-1ms), "1969-12-31T23:59:59.999Z"},
      {"a leap day", kaldo::utc_time(sys_days(2024y / February / 29) + 23h + 59min + 59s + 999ms),
       "2024-02-29T23:59:59.999Z"},
      {"the last day the century digits reach", kaldo::utc_time(sys_days(2099y / December / 31)),
       "2099-12-31T00:00:00.000Z"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(utc_iso8601(r.time), r.want) << r.name;
  }
}

}  // namespace
}  // namespace kaldo::tool
