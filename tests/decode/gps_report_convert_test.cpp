#include "decode/gps_report_convert.h"

#include <gtest/gtest.h>

using namespace kaldo::detail;

TEST(DecoderRecord, StartsInFormatSixWithCenturyTwenty) {
  gps_report_convert record;
  EXPECT_EQ(record.output_format, 5);
  EXPECT_EQ(record.input_mode, 0);
  EXPECT_EQ(record.century, "20");
  EXPECT_TRUE(record.modem_id.empty());
}

TEST(DecoderRecord, SetCenturyAcceptsOnlyTwoDigits) {
  const std::pair<std::string, bool> rows[] = {
      {"19", true}, {"21", true}, {"2", false},  {"200", false},
      {"2a", false}, {" 2", false}, {"", false},
  };
  for (const auto& [text, accepted] : rows) {
    gps_report_convert record;
    EXPECT_EQ(set_century(record, text), accepted ? 0 : -1) << text;
    EXPECT_EQ(record.century, accepted ? text : "20") << text;
  }
}

TEST(DecoderRecord, SetFormatNumberIgnoresOutOfRange) {
  const std::pair<std::int64_t, int> rows[] = {
      {1, 0}, {10, 9}, {7, 6}, {0, 5}, {11, 5}, {-3, 5}, {4294967303LL, 5}};
  for (const auto& [number, index] : rows) {
    gps_report_convert record;
    set_format_number(record, number);
    EXPECT_EQ(record.output_format, index) << number;
  }
}

TEST(DecoderRecord, SetModemIdReplacesEvenWithEmpty) {
  gps_report_convert record;
  set_modem_id(record, "123");
  EXPECT_EQ(record.modem_id, "123");
  set_modem_id(record, "");
  EXPECT_EQ(record.modem_id, "");
}
