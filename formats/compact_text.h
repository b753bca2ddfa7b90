// "Compact Delimited Text" (formats 3 and 8): one comma-separated line per
// report, without labels or units.
//
// Only the minutes and seconds of the time and the minutes of each
// coordinate are zero-filled; the hour, degrees, date and satellites are
// printed as decoded. The GPSI XML format uses the same formatters for its
// element contents.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"
#include "formats/output_text.h"

namespace kaldo::detail {

void compact_time(gps_report_convert& record, bool after_3_2, output_text& out);
void compact_date(const gps_report_convert& record, output_text& out);
void compact_latitude(gps_report_convert& record, bool after_3_2, output_text& out);
void compact_longitude(gps_report_convert& record, bool after_3_2, output_text& out);
void compact_altitude(const gps_report_convert& record, output_text& out);
void compact_velocity(const gps_report_convert& record, bool after_3_2, output_text& out);
void compact_satellites(const gps_report_convert& record, output_text& out);

void write_compact_text(gps_report_convert& record, output_text& body);
void write_compact_text_3_2(gps_report_convert& record, output_text& body);

}  // namespace kaldo::detail
