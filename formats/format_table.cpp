#include "formats/format_table.h"

#include "formats/compact_text.h"
#include "formats/easy_text.h"
#include "formats/gpsi_xml.h"
#include "formats/nmea.h"
#include "formats/two_way_text.h"

namespace kaldo::detail {

namespace {

using framing = report_framing;
using status = status_line_kind;
using id_line = modem_id_line_kind;

constexpr output_format_entry formats[format_index_count] = {
    {"GPSI XML String", write_gpsi_xml, framing::report_element, status::none, id_line::id_element},
    {"Easy to Read Text", write_easy_text, framing::missed_lines, status::none, id_line::labelled_line},
    {"Compact Delimited Text", write_compact_text, framing::none, status::none, id_line::bare_line},
    {"Original Text format from 2Way Mode", write_two_way_text, framing::missed_lines, status::none, id_line::labelled_line},
    {"NMEA GGA and VTG format", write_nmea, framing::none, status::none, id_line::bare_line},
    {"GPSI XML String", write_gpsi_xml_3_2, framing::report_element, status::emergency_element, id_line::id_element},
    {"Easy to Read Text", write_easy_text_3_2, framing::missed_lines, status::word_line, id_line::labelled_line},
    {"Compact Delimited Text", write_compact_text_3_2, framing::none, status::digit_line, id_line::bare_line},
    {"Original Text format from 2Way Mode", write_two_way_text_3_2, framing::missed_lines, status::emergency_only, id_line::labelled_line},
    {"NMEA GGA and VTG format", write_nmea_3_2, framing::none, status::word_line, id_line::bare_line},
};

}  // namespace

const output_format_entry& output_format_for(int index) {
  // The record only ever holds an index in range; 5 is the one it starts with.
  if (index < 0 || index >= format_index_count) index = 5;
  return formats[index];
}

}  // namespace kaldo::detail
