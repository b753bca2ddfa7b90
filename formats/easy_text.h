// "Easy to Read Text" (formats 2 and 7): one labelled line per item, in
// words and units, each report's block ended by an empty line.
//
// A validating line first fits its fields (zero-fill, conversion); when
// they do not fit it prints nothing (the assembler still writes the line
// break, so the block shows an empty line) and the record's error text
// says why. The fitting is kept apart from the printing so that the typed
// decoding applies exactly the checks a format 7 block makes without
// printing it. The two-way text format reuses most of the lines.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"
#include "formats/output_text.h"

namespace kaldo::detail {

// The field rule of each validating line: zero-fills and converts the
// fields the line prints, in place. When one does not fit, appends the
// line's label and entries to `error_text` and returns false.
bool fit_easy_time(gps_report_convert& record, bool after_3_2);
bool fit_easy_date(gps_report_convert& record);
bool fit_easy_latitude(gps_report_convert& record, bool after_3_2);
bool fit_easy_longitude(gps_report_convert& record, bool after_3_2);
bool fit_easy_satellites(gps_report_convert& record);

// Which lines of an Easy block passed the field rule.
struct easy_block_fit {
  bool time = false;
  bool date = false;
  bool latitude = false;
  bool longitude = false;
  bool satellites = false;

  bool all() const { return time && date && latitude && longitude && satellites; }
};

// Fits every validating line of an Easy block, in the order the block
// prints them, so that `error_text` gains the entries the block would
// record. A block is these fits followed by printing.
easy_block_fit fit_easy_block(gps_report_convert& record, bool after_3_2);

// Single lines, fitted and printed.
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
