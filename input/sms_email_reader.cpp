#include "input/sms_email_reader.h"

#include "input/Q7rv_wmp_email_report.h"

namespace kaldo::detail {

int read_sms_email_file(const std::string& file_name, std::string& modem_id,
                        std::string& message, std::string& error) {
  Q7RV_WMP_email_report email;
  const int result = email.parse_file(file_name);
  if (result == Q7RV_WMP_email_report::cannot_open) {
    error = "Error:Cannot Open File";
    return -1;
  }
  if (result == Q7RV_WMP_email_report::invalid_format) {
    error = "Error:Invalid Format";
    return -1;
  }
  modem_id = email.get_modem_id();
  message = email.get_message();
  return 0;
}

}  // namespace kaldo::detail
