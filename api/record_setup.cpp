#include "api/record_setup.h"

#include "convert/report_walk.h"

namespace kaldo::detail {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

message_kind kind_of(const gps_report_convert& record) {
  if (record.is_remote_update_response) return message_kind::remote_update_response;
  if (record.is_chat_message) return message_kind::chat_message;
  if (record.is_chat_message_response) return message_kind::chat_message_response;
  return message_kind::position_reports;
}

outcome outcome_of(const gps_report_convert& record, int status) {
  if (status == 0) return outcome::converted;
  return kind_of(record) == message_kind::position_reports
             ? outcome::failed
             : outcome::not_position_report;
}

std::optional<std::string> settings_problem(const settings& how, bool check_format) {
  if (check_format && !is_format_number(how.format)) {
    return "The Conversion Format must be between 1 and 10.";
  }
  if (how.century.size() != 2 || !is_digit(how.century[0]) || !is_digit(how.century[1])) {
    return "The format for adding the millinium and century is \\Ymc where mc "
           "represents the millinium and century.\r\n";
  }
  return std::nullopt;
}

void prepare_record(gps_report_convert& record, const settings& how,
                    encoding kind, int format_number) {
  set_input_mode(record, kind == encoding::sms_text ? 2 : 0);
  set_modem_id(record, how.modem_id);
  if (how.century != "20") set_century(record, how.century);
  set_format_number(record, format_number);
}

int open_public_message(gps_report_convert& record, const message& msg,
                        message_work& work, std::string& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(msg.bytes.data());
  const bool cut_short = msg.kind == encoding::sbd_payload &&
                         msg.full_length > msg.bytes.size();
  if (cut_short) {
    return decode_oversized_payload(record, bytes, msg.bytes.size(),
                                    msg.full_length, out);
  }
  return open_message(record, bytes, msg.bytes.size(), work, out);
}

conversion run_decoder(gps_report_convert& record, const message& msg) {
  conversion result;
  message_work work;
  int status = open_public_message(record, msg, work, result.text);
  if (status == 0) {
    status = walk_reports(record, work.bytes(), work.size(), result.text, &result.known_modem_id);
  }
  result.kind = kind_of(record);
  result.result = outcome_of(record, status);
  return result;
}

}  // namespace kaldo::detail
