#include "tool/message_setup.h"

namespace kaldo::tool {

prepared_message::prepared_message(const found_message& found, const kaldo::settings& how)
    : found_(found), settings_(how) {
  if (found.unreadable) {
    refusal_ = *found.unreadable;
    return;
  }
  if (found.kind == kaldo::encoding::sbd_payload) {
    settings_.modem_id = kaldo::modem_id_from_file_name(found.name);
    return;
  }
  kaldo::sms_email email = kaldo::read_sms_email(found.bytes);
  if (!email.ok) {
    refusal_ = "Error:Invalid Format";
    return;
  }
  settings_.modem_id = std::move(email.modem_id);
  sms_text_ = std::move(email.message);
}

kaldo::message prepared_message::message() const {
  kaldo::message msg;
  msg.kind = found_.kind;
  if (found_.kind == kaldo::encoding::sbd_payload) {
    msg.bytes = found_.bytes;
    if (found_.full_length > found_.bytes.size()) msg.full_length = found_.full_length;
  } else {
    msg.bytes = sms_text_;
  }
  return msg;
}

}  // namespace kaldo::tool
