// The run sequence of one conversion: check the command line, read the
// input file by its extension, decode the message into the chosen format.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"

// Returns the exit status (0, 1 or -1); everything to print is appended to
// `console`.
int run_conversion(gps_report_convert& record, int argc,
                   const char* const* argv, std::string& console);

enum class input_kind { sbd_attachment, sms_email, unknown };

// Exact, case-sensitive: ".sbd", ".SBD", ".eml", ".EML".
input_kind input_kind_of(const std::string& file_name);
