// Whole outputs of one message in each format, compared byte for byte.
#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace {

// Expected texts are written with "\n"; the program ends lines with CR LF.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

struct format_row {
  int format;
  std::string expected;
};

void expect_outputs(const std::string& message, const format_row* begin,
                    const format_row* end, const std::string& century = "20") {
  for (const format_row* row = begin; row != end; ++row) {
    const auto d = decode_with(message, row->format, 0, "77", century);
    EXPECT_EQ(d.result, 0) << "format " << row->format;
    EXPECT_EQ(d.out, crlf(row->expected)) << "format " << row->format;
  }
}

}  // namespace

TEST(Formats, OnePackedReportInEveryFormat) {
  const std::string message = make_message(3, {packed_report({})});
  const format_row rows[] = {
      {1, "<GPSI>\n<ID>77</ID>\n<Report N=0>\n<Time>12:30:05.250</Time>\n"
          "<Date>05-17-08</Date>\n<Lat>33:45.1235N</Lat>\n<Lng>117:50.6789E</Lng>\n"
          "<Alt>123.45meters</Alt>\n<Speed>12.5km/h</Speed>\n"
          "<Dir>45.60 degrees from True North</Dir>\n<Fix>1</Fix>\n<Sat>9</Sat>\n"
          "</Report>\n</GPSI>"},
      {2, "ModemID=77\nUTC Time=12:30:05.250\nUTC Date=05-17-08\n"
          "Latitude=33:45.1235 North\nLongitude=117:50.6789 East\n"
          "Altitude=123.45 meters\n"
          "Ground Velocity=12.5 km/h at 45.60 degrees from True North\n"
          "Satellites Used=09\n\n"},
      {3, "77\n12:30:05.250,5-17-08,33:45.1235N,117:50.6789E,123.45,12.5:45.60,1,9\n"},
      {4, "ModemID=77\nUTC Time=12:30:05.250\nUTC Date=05-17-2008\n"
          "Latitude=33:45.1235 North\nLongitude=117:50.6789 East\n"
          "Altitude=123.45 meters\nSatellites Used=09\n\n"},
      {5, "77\n$GPGGA,123005.250,3345.1235,N,11750.6789,E,1,09,,123.45,M,,M,,*50\n"
          "$GPVTG,45.60,T,,M,6.75,N,12.5,K*65\n$GPZDA,123005.25,17,05,2008,00,00*6D\n"},
      {6, "<GPSI>\n<ID>77</ID>\n<Emergency>0</Emergency>\n<Report N=0>\n"
          "<Time>12:30:05.25</Time>\n<Date>05-17-08</Date>\n<Lat>33:45.12345N</Lat>\n"
          "<Lng>117:50.67891E</Lng>\n<Alt>123.45meters</Alt>\n<Speed>12.5km/h</Speed>\n"
          "<Dir>45.60 degrees from True North</Dir>\n<VerVel>0.125m/s</VerVel>\n"
          "<Fix>1</Fix>\n<Sat>9</Sat>\n</Report>\n</GPSI>"},
      {7, "ModemID=77\nNormal\nUTC Time=12:30:05.25\nUTC Date=05-17-08\n"
          "Latitude=33:45.12345 North\nLongitude=117:50.67891 East\n"
          "Altitude=123.45 meters\n"
          "Ground Velocity=12.5 km/h at 45.60 degrees from True North\n"
          "Vertical Velocity=0.125 m/s\nValid Position Fix\nSatellites Used=09\n\n"},
      {8, "77\n0\n12:30:05.25,5-17-08,33:45.12345N,117:50.67891E,123.45,12.5:45.60,"
          "0.125,1,9\n"},
      {9, "ModemID=77\nUTC Time=12:30:05.25\nUTC Date=05-17-2008\n"
          "Latitude=33:45.12345 North\nLongitude=117:50.67891 East\n"
          "Altitude=123.45 meters\nSatellites Used=09\n\n"},
      {10, "77\nNormal\n$GPGGA,123005.25,3345.12345,N,11750.67891,E,1,09,,123.45,M,,M,,*65\n"
           "$GPVTG,45.60,T,,M,6.75,N,12.5,K*65\n$GPZDA,123005.25,17,05,2008,00,00*6D\n"},
  };
  expect_outputs(message, std::begin(rows), std::end(rows));
}

TEST(Formats, BinaryReportCarriedIntoTheNextCentury) {
  binary_fields f;
  f.hour = 23, f.minute = 59, f.second = 59, f.millisecond = 995;
  f.year = 99, f.month = 12, f.day = 31;
  f.lat_degrees = 45, f.lat_minutes = 59, f.lat_fraction = 9999;
  f.flags = 0x80 | 0x40 | 0x20;
  const std::string message = make_message(1, {binary_report(f)});
  const format_row rows[] = {
      {3, "77\n23:59:59.995,12-31-99,45:59.9999S,117:50.1234W,123.4,12.3:45.60,1,9\n"},
      {4, "ModemID=77\nUTC Time=23:59:59.995\nUTC Date=12-31-2099\n"
          "Latitude=45:59.9999 South\nLongitude=117:50.1234 West\n"
          "Altitude=123.4 meters\nSatellites Used=09\n\n"},
      // The ZDA time carries the milliseconds of the GGA time.
      {5, "77\n$GPGGA,235959.995,4559.9999,S,11750.1234,W,1,09,,123.4,M,,M,,*61\n"
          "$GPVTG,45.60,T,,M,6.64,N,12.3,K*63\n$GPZDA,235959.995,31,12,2099,00,00*51\n"},
      {8, "77\n0\n00:00:00.00,1-1-00,45:59.99990S,117:50.12340W,123.4,12.3:45.60,?.?,1,9\n"},
      {9, "ModemID=77\nUTC Time=00:00:00.00\nUTC Date=01-01-2100\n"
          "Latitude=45:59.99990 South\nLongitude=117:50.12340 West\n"
          "Altitude=123.4 meters\nSatellites Used=09\n\n"},
      // GGA and ZDA name the same instant: the time is carried only once.
      {10, "77\nNormal\n$GPGGA,000000.00,4559.99990,S,11750.12340,W,1,09,,123.4,M,,M,,*55\n"
           "$GPVTG,45.60,T,,M,6.64,N,12.3,K*63\n$GPZDA,000000.00,01,01,2100,00,00*65\n"},
  };
  expect_outputs(message, std::begin(rows), std::end(rows));
  const format_row century_00[] = {
      {9, "ModemID=77\nUTC Time=00:00:00.00\nUTC Date=01-01-0100\n"
          "Latitude=45:59.99990 South\nLongitude=117:50.12340 West\n"
          "Altitude=123.4 meters\nSatellites Used=09\n\n"}};
  expect_outputs(message, std::begin(century_00), std::end(century_00), "00");
}

TEST(Formats, SecondCarryKeepsItsZeroFill) {
  binary_fields f;
  f.millisecond = 995;
  const std::string message = make_message(1, {binary_report(f)});
  EXPECT_NE(decode_with(message, 7).out.find("UTC Time=12:30:06.00\r\n"), std::string::npos);
  EXPECT_NE(decode_with(message, 2).out.find("UTC Time=12:30:05.995\r\n"), std::string::npos);
  const auto nmea = decode_with(message, 10).out;
  EXPECT_NE(nmea.find("$GPGGA,123006.00,"), std::string::npos);
  EXPECT_NE(nmea.find("$GPZDA,123006.00,"), std::string::npos);
}

TEST(Formats, FixCodesPerGeneration) {
  struct row {
    int flags;
    const char* easy_7;
    const char* compact_3;
    const char* compact_8;
    const char* gga_5;
    const char* gga_10;
  };
  const row rows[] = {
      {0x80, "Valid Position Fix", ",1,9", ",1,9", ",1,09", ",1,09"},
      {0x81, "2D Fix", ",1,9", ",2,9", ",1,09", ",1,09"},
      {0x02, "Dead Reckoning", ",0,9", ",3,9", ",0,09", ",6,09"},
      {0x00, "Invalid Position Fix", ",0,9", ",0,9", ",0,09", ",0,09"},
  };
  for (const row& r : rows) {
    packed_fields f;
    f.flags = r.flags;
    const std::string message = make_message(3, {packed_report(f)});
    EXPECT_NE(decode_with(message, 7).out.find(std::string("\r\n") + r.easy_7 + "\r\n"),
              std::string::npos) << r.flags;
    EXPECT_NE(decode_with(message, 3).out.find(std::string(r.compact_3) + "\r\n"),
              std::string::npos) << r.flags;
    EXPECT_NE(decode_with(message, 8).out.find(std::string(r.compact_8) + "\r\n"),
              std::string::npos) << r.flags;
    EXPECT_NE(decode_with(message, 5).out.find(std::string("E") + r.gga_5 + ",,"),
              std::string::npos) << r.flags;
    EXPECT_NE(decode_with(message, 10).out.find(std::string("E") + r.gga_10 + ",,"),
              std::string::npos) << r.flags;
    // Two-way marks only an invalid fix, in both generations.
    const bool invalid = (r.flags & 0x80) == 0;
    for (int format : {4, 9}) {
      EXPECT_EQ(decode_with(message, format).out.find("Invalid Position Fix") !=
                    std::string::npos,
                invalid);
    }
  }
}

TEST(Formats, FailingFieldEmptiesItsValueAndFailsTheMessage) {
  binary_fields f;
  f.satellites = 123;
  f.lat_minutes = 123;
  const std::string bad = binary_report(f);
  const std::string good = binary_report({});
  const std::string errors =
      "Latitude Conversion:Corrupt Data: 123;Longitude Conversion:Corrupt Data: 123;";
  // The entry of the last report still fails the message, with its reason.
  for (int format : {2, 4, 5, 7, 9, 10}) {
    const auto last = decode_with(make_message(1, {good, bad}), format);
    EXPECT_EQ(last.result, -1) << format;
    EXPECT_EQ(last.out, errors) << format;
  }
  // In the middle, the walk notices it when the next report is decoded.
  const auto middle = decode_with(make_message(1, {good, bad, good}), 2);
  EXPECT_EQ(middle.out, errors);

  // Formats that print an unpadded count only fail on the latitude.
  for (int format : {1, 3, 6, 8}) {
    const auto d = decode_with(make_message(1, {bad}), format);
    EXPECT_EQ(d.out, "Latitude Conversion:Corrupt Data: 123;") << format;
  }
}

TEST(Formats, InvalidAltitudeEndsTheWalkAtOnce) {
  binary_fields f;
  f.flags = 0x88;
  f.altitude_more = 3;
  const auto d = decode_with(make_message(1, {binary_report({}), binary_report(f)}), 7);
  EXPECT_EQ(d.result, -1);
  EXPECT_EQ(d.out, "Invalid Altitude");
}

TEST(Formats, VtgWithZeroSpeed) {
  binary_fields f;
  f.speed = 0, f.speed_tenths = 0, f.course = 5;
  const auto d = decode_with(make_message(1, {binary_report(f)}), 5);
  EXPECT_NE(d.out.find("\r\n$GPVTG,0.05,T,,M,0.0,N,0.0,K*55\r\n"), std::string::npos);
}

#include <algorithm>

#include "decode/report_fields.h"
#include "formats/format_table.h"
#include "formats/nmea.h"

using namespace kaldo::detail;

TEST(Formats, FailedFormatterLeavesItsSeparators) {
  binary_fields f;
  f.minute = 123;  // too wide for every time formatter
  const std::string bytes = binary_report(f);
  const struct {
    int format;
    std::string begins;
  } rows[] = {
      {1, "<Time></Time>\r\n<Date>05-17-08</Date>"},
      {2, "\r\nUTC Date=05-17-08\r\n"},
      {3, ",5-17-8,"},
      {4, "\r\nUTC Date=05-17-2008\r\n"},
      {8, ",5-17-8,"},
  };
  for (const auto& r : rows) {
    gps_report_convert record;
    record.message_type = 1;
    std::copy(bytes.begin(), bytes.end(), record.raw_report.begin());
    decode_report_fields(record);
    output_text body;
    output_format_for(r.format - 1).assembler(record, body);
    EXPECT_EQ(body.view().substr(0, r.begins.size()), r.begins) << r.format;
    EXPECT_EQ(record.error_text, "Time Conversion:Corrupt Data: 123;") << r.format;
  }
  // NMEA: the ZDA loses its time field and the checksum covers the rest.
  gps_report_convert record;
  record.message_type = 1;
  std::copy(bytes.begin(), bytes.end(), record.raw_report.begin());
  decode_report_fields(record);
  output_text body;
  write_nmea(record, body);
  EXPECT_EQ(body.view().substr(0, 19), "$GPGGA,3345.1234,N,");
  EXPECT_NE(body.view().find("\r\n$GPZDA,17,05,2008,00,00*"), std::string::npos);
  EXPECT_EQ(record.error_text,
            "Time Conversion:Corrupt Data: 123;Time Conversion:Corrupt Data: 123;");
}
