#include "app/run.h"

#include <string_view>

#include "app/arguments.h"
#include "decode/decode_message.h"
#include "input/sbd_reader.h"
#include "input/sms_email_reader.h"

namespace {

bool ends_with(const std::string& name, const char* extension) {
  const std::string_view ext = extension;
  return name.size() >= ext.size() &&
         std::string_view(name).substr(name.size() - ext.size()) == ext;
}

int decode_and_print(gps_report_convert& record, const run_values& values,
                     const std::string& message, std::uint64_t length,
                     std::string& console) {
  if (values.century_text != "20") set_century(record, values.century_text);
  set_format_number(record, values.format_number);
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  std::string out;
  const int result =
      message.size() == length
          ? decode_message(record, bytes, message.size(), out)
          : decode_oversized_payload(record, bytes, message.size(), length, out);
  if (result != 0) {
    console += "Error: ";
    console += out;
    return -1;
  }
  console += out;
  return 0;
}

}  // namespace

input_kind input_kind_of(const std::string& file_name) {
  if (ends_with(file_name, ".sbd") || ends_with(file_name, ".SBD")) {
    return input_kind::sbd_attachment;
  }
  if (ends_with(file_name, ".eml") || ends_with(file_name, ".EML")) {
    return input_kind::sms_email;
  }
  return input_kind::unknown;
}

int run_conversion(gps_report_convert& record, int argc,
                   const char* const* argv, std::string& console) {
  run_values values;
  if (auto status = validate_arguments(argc, argv, values, console)) {
    return *status;
  }
  switch (input_kind_of(values.file_name)) {
    case input_kind::sbd_attachment: {
      set_input_mode(record, 0);
      sbd_payload payload;
      if (!read_sbd_file(values.file_name, record, payload)) {
        console += "Cannot Open File.\r\n";
        return 1;
      }
      return decode_and_print(record, values, payload.bytes, payload.length,
                              console);
    }
    case input_kind::sms_email: {
      set_input_mode(record, 2);
      std::string message, error;
      if (read_sms_email(values.file_name, record, message, error) != 0) {
        console += error;
        return -1;
      }
      return decode_and_print(record, values, message, message.size(), console);
    }
    case input_kind::unknown:
      break;
  }
  console += "Invalid File Extension";
  return -1;
}
