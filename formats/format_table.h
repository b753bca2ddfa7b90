// The ten output formats as one table: format index (format number - 1) to
// the assembler of one report and the framing the report walk writes around
// the reports. Index n and n + 5 are the two generations of one format.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"
#include "formats/output_text.h"

namespace kaldo::detail {

using report_assembler = void (*)(gps_report_convert&, output_text&);

enum class report_framing {
  report_element,  // <Report N=...> ... </Report>
  missed_lines,    // "Missed 1" ... before all but the last of 2 to 4 reports
  none,
};

enum class status_line_kind {
  none,
  emergency_element,  // <Emergency>1</Emergency>
  word_line,          // Emergency / Normal
  digit_line,         // 1 / 0
  emergency_only,     // Emergency, or nothing
};

enum class modem_id_line_kind {
  id_element,    // <ID>...</ID>
  labelled_line, // ModemID=...
  bare_line,
};

struct output_format_entry {
  const char* name;  // as the usage text lists it
  report_assembler assembler;
  report_framing framing;
  status_line_kind status;
  modem_id_line_kind modem_id_line;
};

const output_format_entry& output_format_for(int index);

}  // namespace kaldo::detail
