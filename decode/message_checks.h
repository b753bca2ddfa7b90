// Recognising messages that are not position reports, and the checks a
// message must pass before its reports are walked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/gps_report_convert.h"

namespace kaldo::detail {

// Whether an SBD payload is a remote update response. Looks at no more
// than the first 8 of the `available` bytes; `length` is the payload's full
// length, which may be larger than what was kept of it.
bool is_remote_update_payload(const unsigned char* bytes, std::size_t available,
                              std::uint64_t length);

// Sets the chat and remote update flags for an SMS text by its first
// characters.
void classify_sms_text(gps_report_convert& record, const unsigned char* text,
                       std::size_t length);

// The answer to a message that a classification flag marks, or an empty
// text when none is set.
std::string classified_message_text(const gps_report_convert& record);

// The length and type checks of a binary message. Returns 0, or -1 with the
// message in `out`. Stores the type in `record.message_type` on success.
int check_message(gps_report_convert& record, const unsigned char* work,
                  std::uint64_t work_length, std::string& out);

}  // namespace kaldo::detail
