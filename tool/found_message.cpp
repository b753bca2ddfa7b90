#include "tool/found_message.h"

namespace kaldo::tool {

kaldo::saved_message read_found_message(const found_message& found) {
  if (found.unreadable) {
    kaldo::saved_message refused;
    refused.refusal = found.unreadable;
    refused.kind = found.kind;
    return refused;
  }
  if (found.kind == kaldo::encoding::sbd_payload) {
    return kaldo::read_sbd_attachment(found.name, found.bytes, found.full_length);
  }
  return kaldo::read_sms_email_message(found.bytes);
}

}  // namespace kaldo::tool
