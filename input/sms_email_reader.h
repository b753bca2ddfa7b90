// Reads an SMS e-mail file: the Subject line's modem id and the message
// text of the body.
#pragma once

#include <string>


namespace kaldo::detail {

// Returns 0 with the body in `message`, or -1 with the message to print in
// `error` ("Error:Cannot Open File", "Error:Invalid Format").
int read_sms_email_file(const std::string& file_name, std::string& modem_id,
                        std::string& message, std::string& error);

}  // namespace kaldo::detail
