// "Easy to Read Text" (formats 2 and 7): one labelled line per item, in
// words and units, each report's block ended by an empty line.
//
// The line formatters append their text to `out`; a validating one appends
// nothing when it fails (the assembler still writes the line break, so the
// block shows an empty line). The two-way text format reuses most of them.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"
#include "formats/output_text.h"

namespace kaldo::detail {

void easy_time_line(gps_report_convert& record, bool after_3_2, output_text& out);
void easy_date_line(gps_report_convert& record, output_text& out);
void easy_latitude_line(gps_report_convert& record, bool after_3_2, output_text& out);
void easy_longitude_line(gps_report_convert& record, bool after_3_2, output_text& out);
void easy_altitude_line(const gps_report_convert& record, output_text& out);
void easy_velocity_line(const gps_report_convert& record, bool after_3_2, output_text& out);
void easy_satellites_line(gps_report_convert& record, output_text& out);

// The lines from the time to the altitude, with the date line given: the
// two-way text format prints the same block with its own date line.
using date_line_writer = void (*)(gps_report_convert&, output_text&);
void write_easy_lines_to_altitude(gps_report_convert& record, bool after_3_2,
                                  date_line_writer date_line, output_text& body);
// The satellites line and the empty line that ends a block.
void write_easy_block_end(gps_report_convert& record, output_text& body);

void write_easy_text(gps_report_convert& record, output_text& body);
void write_easy_text_3_2(gps_report_convert& record, output_text& body);

}  // namespace kaldo::detail
