#include "kaldo/names.h"

#include "input/Q7rv_wmp_email_report.h"
#include "input/sbd_reader.h"

namespace kaldo {

namespace {

bool ends_with(std::string_view name, std::string_view extension) {
  return name.size() >= extension.size() &&
         name.substr(name.size() - extension.size()) == extension;
}

}  // namespace

std::string modem_id_from_file_name(std::string_view name) {
  return detail::modem_id_from_file_name(name);
}

file_kind file_kind_of(std::string_view name) {
  if (ends_with(name, ".sbd") || ends_with(name, ".SBD")) return file_kind::sbd_attachment;
  if (ends_with(name, ".eml") || ends_with(name, ".EML")) return file_kind::sms_email;
  return file_kind::other;
}

sms_email read_sms_email(std::string_view raw_email) {
  sms_email email;
  detail::Q7RV_WMP_email_report report;
  if (report.parse_content(raw_email) != 0) return email;
  email.ok = true;
  email.modem_id = report.get_modem_id();
  email.message = report.get_message();
  return email;
}

}  // namespace kaldo
