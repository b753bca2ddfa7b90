#include "decode/message_checks.h"

#include <cstring>

#include "decode/message_layout.h"

namespace kaldo::detail {

namespace {

bool begins_with(const unsigned char* bytes, std::size_t available,
                 const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return available >= n && std::memcmp(bytes, prefix, n) == 0;
}

// The payload read as a zero-terminated text is exactly `word`.
bool text_is(const unsigned char* bytes, std::size_t available,
             std::uint64_t length, const char* word) {
  const std::size_t n = std::strlen(word);
  if (!begins_with(bytes, available, word)) return false;
  return length == n || (available > n && bytes[n] == 0);
}

}  // namespace

bool is_remote_update_payload(const unsigned char* bytes, std::size_t available,
                              std::uint64_t length) {
  const int first = available > 0 ? bytes[0] : 0;
  return text_is(bytes, available, length, "Updated") ||
         text_is(bytes, available, length, "Failed") ||
         ((length == 1 || length == 50) && (first == '1' || first == '0')) ||
         begins_with(bytes, available, "tr") ||
         ((length == 17 || length == 32) && first == 'v');
}

void classify_sms_text(gps_report_convert& record, const unsigned char* text,
                       std::size_t length) {
  if (begins_with(text, length, "tr")) {
    record.is_remote_update_response = 1;
  } else if (begins_with(text, length, "s")) {
    record.is_chat_message = 1;
  } else if (begins_with(text, length, "r")) {
    record.is_chat_message_response = 1;
  }
}

std::string classified_message_text(const gps_report_convert& record) {
  if (record.is_remote_update_response) {
    return "This is a Remote Update Response not a GPS Report.\r\n";
  }
  if (record.is_chat_message) {
    return "This is a Chat Message not a GPS Report.\r\n";
  }
  if (record.is_chat_message_response) {
    return "This is a Chat Message Response not a GPS Report.\r\n";
  }
  return {};
}

int check_message(gps_report_convert& record, const unsigned char* work,
                  std::uint64_t work_length, std::string& out) {
  if (work_length < min_message_size) {
    out = "Less than Minimum Length\r\n";
    return -1;
  }
  const std::size_t count = work[1];
  if (work_length < report_offset(count) ||
      work_length > report_offset(count) + max_tail_size) {
    out = "Invalid Length\r\n";
    return -1;
  }
  const int type = work[0];
  if (type != 1 && type != 2 && type != 3 && type != 103) {
    out = "Invalid Format\r\n";
    return -1;
  }
  record.message_type = static_cast<std::int16_t>(type);
  return 0;
}

}  // namespace kaldo::detail
