// "Original Text format from 2Way Mode" (formats 4 and 9): the Easy to Read
// block with a four-digit year, no velocity line, and only an invalid fix
// marked.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"
#include "formats/output_text.h"

namespace kaldo::detail {

void two_way_date_line(gps_report_convert& record, output_text& out);

void write_two_way_text(gps_report_convert& record, output_text& body);
void write_two_way_text_3_2(gps_report_convert& record, output_text& body);

}  // namespace kaldo::detail
