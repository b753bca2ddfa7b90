#include "decode/conversions.h"

#include <gtest/gtest.h>

using namespace kaldo::detail;

namespace {

struct clock_row {
  const char* name;
  std::string hour, minute, second, millisecond;
  std::string day, month, year;
  std::string century;
  // After an after-3.2 conversion of a binary-layout report:
  std::string want_time;  // hour:minute:second.centisecond
  std::string want_date;  // day/month/year report_century
};

gps_report_convert binary_record(const clock_row& r) {
  gps_report_convert record;
  record.message_type = 1;
  record.time_hour = r.hour;
  record.time_minute = r.minute;
  record.time_second = r.second;
  record.time_millisecond = r.millisecond;
  record.date_day = r.day;
  record.date_month = r.month;
  record.date_year = r.year;
  record.century = r.century;
  record.report_century = r.century;
  return record;
}

}  // namespace

TEST(ConvertTimeFraction, RoundsHalfUpAndCarriesThroughTheCalendar) {
  const clock_row rows[] = {
      {"994 ms rounds down", "12", "30", "05", "994", "17", "5", "8", "20",
       "12:30:05.99", "17/5/8 20"},
      {"5 ms becomes 01", "12", "30", "05", "5", "17", "5", "8", "20",
       "12:30:05.01", "17/5/8 20"},
      {"995 ms carries into the padded second", "12", "30", "05", "995", "17",
       "5", "8", "20", "12:30:06.00", "17/5/8 20"},
      {"unpadded hour keeps its width", "9", "59", "59", "999", "17", "5", "8",
       "20", "10:00:00.00", "17/5/8 20"},
      {"hour 13 through 59:59", "13", "59", "59", "995", "17", "5", "8", "20",
       "14:00:00.00", "17/5/8 20"},
      {"31 Dec 99 into the next century", "23", "59", "59", "995", "31", "12",
       "99", "20", "00:00:00.00", "1/1/00 21"},
      {"century 00 keeps two digits", "23", "59", "59", "995", "31", "12",
       "99", "00", "00:00:00.00", "1/1/00 01"},
      {"28 Feb 2008 is followed by the 29th", "23", "59", "59", "995", "28",
       "2", "08", "20", "00:00:00.00", "29/2/08 20"},
      {"28 Feb 2007 is followed by 1 Mar", "23", "59", "59", "995", "28", "2",
       "07", "20", "00:00:00.00", "1/3/07 20"},
      {"29 Feb 2008 is followed by 1 Mar", "23", "59", "59", "995", "29", "2",
       "8", "20", "00:00:00.00", "1/3/8 20"},
      {"28 Feb 2000, one-digit year 0", "23", "59", "59", "995", "28", "2",
       "0", "20", "00:00:00.00", "29/2/0 20"},
      {"28 Feb 1900 is not a leap day", "23", "59", "59", "995", "28", "2",
       "00", "19", "00:00:00.00", "1/3/00 19"},
      {"30 Apr", "23", "59", "59", "995", "30", "4", "8", "20", "00:00:00.00",
       "1/5/8 20"},
      {"30 Jan", "23", "59", "59", "995", "30", "1", "8", "20", "00:00:00.00",
       "31/1/8 20"},
      {"31 Dec 08", "23", "59", "59", "995", "31", "12", "08", "20",
       "00:00:00.00", "1/1/9 20"},
      {"month 13 only resets the day", "23", "59", "59", "995", "31", "13",
       "8", "20", "00:00:00.00", "1/13/8 20"},
      {"a day past the month's end counts on", "23", "59", "59", "995", "40",
       "1", "8", "20", "00:00:00.00", "41/1/8 20"},
  };
  for (const clock_row& r : rows) {
    auto record = binary_record(r);
    EXPECT_EQ(convert_time_fraction(record, true), "") << r.name;
    EXPECT_EQ(record.time_hour.str() + ":" + record.time_minute.str() + ":" +
                  record.time_second.str() + "." + record.time_centisecond.str(),
              r.want_time)
        << r.name;
    EXPECT_EQ(record.date_day.str() + "/" + record.date_month.str() + "/" +
                  record.date_year.str() + " " + record.report_century.str(),
              r.want_date)
        << r.name;
    EXPECT_EQ(record.century, r.century) << r.name;
  }
}

TEST(ConvertTimeFraction, RoundsOncePerReportButChecksEveryTime) {
  clock_row r{"", "12", "30", "05", "995", "17", "5", "8", "20", "", ""};
  auto record = binary_record(r);
  convert_time_fraction(record, true);
  convert_time_fraction(record, true);
  EXPECT_EQ(record.time_second, "06");

  record.time_millisecond = "1500";
  EXPECT_EQ(convert_time_fraction(record, true), "Corrupt Data: 1500;");
  EXPECT_EQ(convert_time_fraction(record, true), "Corrupt Data: 1500;");
}

TEST(ConvertTimeFraction, BeforeThreeTwoOnlyPads) {
  gps_report_convert binary;
  binary.message_type = 1;
  binary.time_millisecond = "25";
  EXPECT_EQ(convert_time_fraction(binary, false), "");
  EXPECT_EQ(binary.time_millisecond, "025");
  EXPECT_EQ(binary.time_centisecond, "00");

  gps_report_convert packed;
  packed.message_type = 3;
  packed.time_centisecond = "7";
  packed.time_millisecond = "70";
  EXPECT_EQ(convert_time_fraction(packed, false), "");
  EXPECT_EQ(packed.time_millisecond, "070");
  EXPECT_EQ(packed.time_centisecond, "07");

  packed.time_centisecond = "127";
  packed.time_millisecond = "1270";
  EXPECT_EQ(convert_time_fraction(packed, true),
            "Corrupt Data: 1270;Corrupt Data: 127;");
}

TEST(ConvertCoordinateFraction, GenerationsAndCarries) {
  struct row {
    const char* name;
    int type;
    bool after_3_2;
    std::string degrees, minutes, fraction;
    std::string want;  // degrees:minutes.fraction after the conversion
    std::string result;
  };
  const row rows[] = {
      {"packed rounds to four digits", 3, false, "45", "30", "01235", "45:30.0124", ""},
      {"packed carry into degrees", 3, false, "45", "59", "99996", "46:00.0000", ""},
      {"padded degrees keep their width", 3, false, "009", "59", "99996",
       "010:00.0000", ""},
      {"packed carry into minutes", 3, false, "45", "05", "99995", "45:06.0000", ""},
      {"overlong packed fraction is not rounded", 3, false, "45", "30",
       "1000012", "45:30.1000012", "Corrupt Data: 1000012;"},
      {"binary pads to four", 1, false, "45", "30", "123", "45:30.0123", ""},
      {"binary gains a fifth digit", 1, true, "45", "30", "5", "45:30.00050", ""},
      {"binary above 9999", 1, false, "45", "30", "65535", "45:30.65535",
       "Corrupt Data: 65535;"},
      {"packed after 3.2 only pads", 3, true, "45", "30", "99996", "45:30.99996", ""},
  };
  for (const row& r : rows) {
    for (bool latitude : {true, false}) {
      gps_report_convert record;
      record.message_type = static_cast<std::int16_t>(r.type);
      text_field& degrees =
          latitude ? record.latitude_degrees : record.longitude_degrees;
      text_field& minutes =
          latitude ? record.latitude_minutes : record.longitude_minutes;
      text_field& fraction = latitude ? record.latitude_minute_fraction
                                       : record.longitude_minute_fraction;
      degrees = r.degrees;
      minutes = r.minutes;
      fraction = r.fraction;
      const std::string result =
          latitude ? convert_latitude_fraction(record, r.after_3_2)
                   : convert_longitude_fraction(record, r.after_3_2);
      EXPECT_EQ(result, r.result) << r.name;
      EXPECT_EQ(degrees.str() + ":" + minutes.str() + "." + fraction.str(), r.want)
          << r.name;
    }
  }
}

TEST(IsLeapYear, GregorianRules) {
  const std::pair<int, bool> rows[] = {{2000, true}, {1900, false}, {2008, true},
                                       {2009, false}, {1904, true}, {2100, false}};
  for (const auto& [year, leap] : rows) EXPECT_EQ(is_leap_year(year), leap) << year;
}
