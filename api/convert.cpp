// The text conversion of the public interface: one fresh decoder record per
// call, so that nothing is shared between calls or threads.
#include "kaldo/convert.h"

#include <cstdint>

#include "api/record_setup.h"
#include "decode/message_layout.h"
#include "input/sbd_reader.h"
#include "input/sms_email_reader.h"
#include "kaldo/names.h"

namespace kaldo {

std::string conversion::printed() const {
  if (result == outcome::converted) return text;
  return "Error: " + text;
}

conversion convert_message(const message& msg, const settings& how) {
  if (auto problem = detail::settings_problem(how, true)) {
    conversion refused;
    refused.result = outcome::invalid_settings;
    refused.text = std::move(*problem);
    return refused;
  }
  detail::gps_report_convert record;
  detail::prepare_record(record, how, msg.kind, how.format);
  return detail::run_decoder(record, msg);
}

file_conversion convert_file(std::string_view path, const settings& how) {
  file_conversion run;
  if (auto problem = detail::settings_problem(how, true)) {
    run.output = std::move(*problem);
    run.exit_status = -1;
    return run;
  }
  const std::string name(path);
  settings from_file = how;
  message msg;
  std::string bytes;
  switch (file_kind_of(name)) {
    case file_kind::sbd_attachment: {
      msg.kind = encoding::sbd_payload;
      detail::sbd_payload payload;
      if (!detail::read_sbd_payload(name, payload)) {
        run.output = "Cannot Open File.\r\n";
        run.exit_status = 1;
        return run;
      }
      from_file.modem_id = modem_id_from_file_name(name);
      bytes = std::move(payload.bytes);
      msg.full_length = payload.length;
      break;
    }
    case file_kind::sms_email: {
      msg.kind = encoding::sms_text;
      std::string error;
      if (detail::read_sms_email_file(name, from_file.modem_id, bytes, error) != 0) {
        run.output = std::move(error);
        run.exit_status = -1;
        return run;
      }
      break;
    }
    case file_kind::other:
      run.output = "Invalid File Extension";
      run.exit_status = -1;
      return run;
  }
  msg.bytes = bytes;
  const conversion converted = convert_message(msg, from_file);
  run.output = converted.printed();
  run.exit_status = converted.converted() ? 0 : -1;
  return run;
}

}  // namespace kaldo
