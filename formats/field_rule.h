// The rule every validating formatter follows.
//
// A formatter zero-fills the fields it prints, in place, collecting a
// "Corrupt Data: " entry for each field that is too wide; then it runs its
// conversion and adds that conversion's entries. With no entries it writes
// its text; otherwise it writes nothing and records its label and entries
// in the record's error text, which fails the message.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

#include "decode/gps_report_convert.h"
#include "decode/text_fields.h"

namespace kaldo::detail {

struct field_width {
  text_field* field;
  std::size_t width;
};

// Appends entries to the ones collected so far; most are empty.
inline void add_entries(std::string& entries, const std::string& more) {
  if (!more.empty()) entries += more;
}

// Pads each field in order; returns the entries of the ones too wide.
inline std::string pad_fields(std::initializer_list<field_width> fields) {
  std::string entries;
  for (const field_width& f : fields) {
    if (f.field->size() != f.width) add_entries(entries, check_field_width(*f.field, f.width));
  }
  return entries;
}

// True when `entries` is empty. Otherwise appends `label` + `entries` to
// `error_text` and returns false: the formatter then writes nothing.
bool passes_field_rule(gps_report_convert& record, const char* label,
                       const std::string& entries);

// The fraction of the second that a generation prints: milliseconds before
// 3.2, hundredths after.
const text_field& time_fraction(const gps_report_convert& record,
                                 bool after_3_2);

}  // namespace kaldo::detail
