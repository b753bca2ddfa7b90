// "GPSI XML String" (formats 1 and 6): the elements of one report, one per
// line, with the compact notation as their contents. The report walk writes
// the document around them (<GPSI>, <ID>, <Emergency>, <Report N=...>).
// Nothing is escaped: the values hold only digits, signs, points, colons,
// letters, slashes, spaces and question marks.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"
#include "formats/output_text.h"

namespace kaldo::detail {

void xml_date(gps_report_convert& record, output_text& out);
void xml_speed(const gps_report_convert& record, output_text& out);
void xml_direction(const gps_report_convert& record, output_text& out);
void xml_vertical_velocity(const gps_report_convert& record, output_text& out);

void write_gpsi_xml(gps_report_convert& record, output_text& body);
void write_gpsi_xml_3_2(gps_report_convert& record, output_text& body);

}  // namespace kaldo::detail
