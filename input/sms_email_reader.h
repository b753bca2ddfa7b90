// Reads an SMS e-mail file: stores the Subject line's modem id in the
// record and hands back the message text of the body.
#pragma once

#include <string>

#include "decode/gps_report_convert.h"

// Returns 0 with the body in `message`, or -1 with the message to print in
// `error` ("Error:Cannot Open File", "Error:Invalid Format").
int read_sms_email(const std::string& file_name, gps_report_convert& record,
                   std::string& message, std::string& error);
