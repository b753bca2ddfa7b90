// "NMEA GGA and VTG format" (formats 5 and 10): three NMEA 0183 sentences
// per report, GGA (time, position, fix quality, satellites, altitude), VTG
// (course and speed) and ZDA (time and date), each closed by its checksum.
//
// Each field formatter appends its text with the trailing comma or star it
// carries; a validating one appends nothing when it fails, so the sentence
// loses that field.
#pragma once

#include <string>
#include <string_view>

#include "decode/gps_report_convert.h"
#include "formats/output_text.h"

namespace kaldo::detail {

void nmea_gga_time(gps_report_convert& record, bool after_3_2, output_text& out);
void nmea_latitude(gps_report_convert& record, bool after_3_2, output_text& out);
void nmea_longitude(gps_report_convert& record, bool after_3_2, output_text& out);
void nmea_satellites(gps_report_convert& record, output_text& out);
void nmea_altitude(const gps_report_convert& record, output_text& out);
void nmea_course(const gps_report_convert& record, output_text& out);
void nmea_knots(const gps_report_convert& record, output_text& out);
void nmea_speed(const gps_report_convert& record, output_text& out);
void nmea_zda_time(gps_report_convert& record, bool after_3_2, output_text& out);
void nmea_zda_date(gps_report_convert& record, output_text& out);

// The exclusive OR of the characters after the first "$" up to the first
// "*", as two upper-case hexadecimal digits.
std::string nmea_checksum(std::string_view sentence);
unsigned char nmea_checksum_value(std::string_view sentence);

void write_nmea(gps_report_convert& record, output_text& body);
void write_nmea_3_2(gps_report_convert& record, output_text& body);

}  // namespace kaldo::detail
