// Conversions of the time, date and coordinate fractions between the report
// layouts and the output generations.
//
// The binary layout sends milliseconds and four-digit minute fractions, the
// packed layout hundredths and five-digit fractions. The formats before 3.2
// print milliseconds and four digits, those after 3.2 hundredths and five.
// Where digits are dropped the value is rounded half up and the carry runs
// on through seconds, minutes, hours and the date (or minutes and degrees).
//
// Each conversion rewrites the record's fields in place and returns the
// "Corrupt Data: " entries of the fields that are too wide to print, or an
// empty text.
#pragma once

#include <cstdint>
#include <string>

#include "decode/gps_report_convert.h"

namespace kaldo::detail {

std::string convert_time_fraction(gps_report_convert& record, bool after_3_2);
std::string convert_latitude_fraction(gps_report_convert& record, bool after_3_2);
std::string convert_longitude_fraction(gps_report_convert& record, bool after_3_2);

// Milliseconds to hundredths, with the carry into the time and the date.
void round_to_centiseconds(gps_report_convert& record);
// Five-digit minute fractions to four, with the carry into minutes and degrees.
void round_latitude_fraction(gps_report_convert& record);
void round_longitude_fraction(gps_report_convert& record);

bool is_leap_year(std::int64_t year);

}  // namespace kaldo::detail
