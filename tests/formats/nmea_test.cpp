#include "formats/nmea.h"

#include <gtest/gtest.h>

using namespace kaldo::detail;

TEST(NmeaChecksum, TwoUpperCaseDigitsOverTheSentenceBody) {
  const std::pair<std::string, std::string> rows[] = {
      // A value below 16 keeps its leading zero.
      {"$A*", "41"},
      {"$AK*", "0A"},
      {"$AA*", "00"},
      {"$", "00"},
      {"", "00"},
      // Only what lies between "$" and the first "*" counts; a leading
      // line break does not.
      {"\r\n$GPVTG,0.05,T,,M,0.0,N,0.0,K*", "55"},
      {"$GPVTG,0.05,T,,M,0.0,N,0.0,K*ignored*", "55"},
      // Without a "*" everything after the "$" counts.
      {"$GPZDA,123005.25,", "64"},
      {"$GPGGA,123005.250,3345.1235,N,11750.6789,E,1,09,,123.45,M,,M,,*", "50"},
  };
  for (const auto& [sentence, sum] : rows) {
    EXPECT_EQ(nmea_checksum(sentence), sum) << sentence;
  }
}
