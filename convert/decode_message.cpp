#include "convert/decode_message.h"

#include <cstring>

#include "decode/message_checks.h"
#include "decode/message_layout.h"
#include "convert/report_walk.h"
#include "decode/sms_text.h"

namespace kaldo::detail {

namespace {

void reset_message_flags(gps_report_convert& record) {
  record.is_remote_update_response = 0;
  record.is_chat_message = 0;
  record.is_chat_message_response = 0;
  record.modem_id_in_message = 0;
}

int answer_classified(const gps_report_convert& record, std::string& out) {
  out = classified_message_text(record);
  return out.empty() ? 0 : -1;
}

int open_binary_message(gps_report_convert& record, const unsigned char* bytes,
                        std::size_t length, message_work& work, std::string& out) {
  if (check_message(record, bytes, length, out) != 0) return -1;
  work.refer_to(bytes, length);
  return 0;
}

int open_sms_text(gps_report_convert& record, const unsigned char* text,
                  std::size_t length, message_work& work, std::string& out) {
  if (length > 0 && std::memchr(text, 0, length) != nullptr) {
    out = "Invalid Length";
    return -1;
  }
  classify_sms_text(record, text, length);
  if (answer_classified(record, out) != 0) return -1;
  // Without its 56 hexadecimal digits the text holds no whole report.
  if (length < sms_hex_end) {
    out = "Less than Minimum Length\r\n";
    return -1;
  }
  std::string& converted = work.converted();
  if (!convert_sms_text(text, length, converted)) {
    out = "Invalid Format\r\n";
    return -1;
  }
  return open_binary_message(record,
                             reinterpret_cast<const unsigned char*>(converted.data()),
                             converted.size(), work, out);
}

}  // namespace

int open_message(gps_report_convert& record, const unsigned char* bytes,
                 std::size_t length, message_work& work, std::string& out) {
  reset_message_flags(record);
  if (record.input_mode == 2) return open_sms_text(record, bytes, length, work, out);
  if (is_remote_update_payload(bytes, length, length)) {
    record.is_remote_update_response = 1;
  }
  if (answer_classified(record, out) != 0) return -1;
  return open_binary_message(record, bytes, length, work, out);
}

int decode_message(gps_report_convert& record, const unsigned char* bytes,
                   std::size_t length, std::string& out) {
  message_work work;
  if (open_message(record, bytes, length, work, out) != 0) return -1;
  return walk_reports(record, work.bytes(), work.size(), out);
}

int decode_oversized_payload(gps_report_convert& record,
                             const unsigned char* bytes, std::size_t available,
                             std::uint64_t length, std::string& out) {
  reset_message_flags(record);
  if (is_remote_update_payload(bytes, available, length)) {
    record.is_remote_update_response = 1;
    return answer_classified(record, out);
  }
  out = "Invalid Length\r\n";
  return -1;
}

}  // namespace kaldo::detail
