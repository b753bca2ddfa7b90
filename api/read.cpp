// Reading saved messages for the public interface: the readers of input/
// with their failures as values. What a refusal prints lives here once, for
// both programs and for convert_file.
#include "kaldo/read.h"

#include <algorithm>

#include "decode/message_layout.h"
#include "input/Q7rv_wmp_email_report.h"
#include "input/sbd_reader.h"
#include "kaldo/names.h"

namespace kaldo {

static_assert(max_message_bytes == detail::max_message_size);
static_assert(last_format - first_format + 1 == detail::format_index_count);

std::string_view printed(read_refusal refusal) noexcept {
  switch (refusal) {
    case read_refusal::cannot_read_sbd: return "Cannot Open File.\r\n";
    case read_refusal::cannot_read_email: return "Error:Cannot Open File";
    case read_refusal::no_email_body: return "Error:Invalid Format";
    case read_refusal::unknown_extension: return "Invalid File Extension";
  }
  return "Invalid File Extension";
}

int exit_status(read_refusal refusal) noexcept {
  return refusal == read_refusal::cannot_read_sbd ? 1 : -1;
}

namespace {

saved_message refused(read_refusal why, encoding kind) {
  saved_message saved;
  saved.refusal = why;
  saved.kind = kind;
  return saved;
}

saved_message from_email(detail::Q7RV_WMP_email_report& email) {
  saved_message saved;
  saved.kind = encoding::sms_text;
  saved.modem_id = email.get_modem_id();
  saved.bytes = email.get_message();
  return saved;
}

}  // namespace

saved_message read_message_file(std::string_view path) {
  const std::string name(path);
  switch (file_kind_of(name)) {
    case file_kind::sbd_attachment: {
      detail::sbd_payload payload;
      if (!detail::read_sbd_payload(name, payload)) {
        return refused(read_refusal::cannot_read_sbd, encoding::sbd_payload);
      }
      saved_message saved;
      saved.modem_id = modem_id_from_file_name(name);
      saved.full_length = payload.length;
      saved.bytes = std::move(payload.bytes);
      return saved;
    }
    case file_kind::sms_email: {
      detail::Q7RV_WMP_email_report email;
      const int result = email.parse_file(name);
      if (result == detail::Q7RV_WMP_email_report::cannot_open) {
        return refused(read_refusal::cannot_read_email, encoding::sms_text);
      }
      if (result != 0) return refused(read_refusal::no_email_body, encoding::sms_text);
      return from_email(email);
    }
    case file_kind::other: break;
  }
  return refused(read_refusal::unknown_extension, encoding::sbd_payload);
}

saved_message read_sms_email_message(std::string_view raw_email) {
  detail::Q7RV_WMP_email_report email;
  if (email.parse_content(raw_email) != 0) {
    return refused(read_refusal::no_email_body, encoding::sms_text);
  }
  return from_email(email);
}

saved_message read_sbd_attachment(std::string_view name, std::string_view payload,
                                  std::uint64_t full_length) {
  saved_message saved;
  saved.modem_id = modem_id_from_file_name(name);
  // Nothing past the first byte beyond the longest message changes the
  // answer, so no more is kept.
  saved.bytes.assign(payload.substr(0, max_message_bytes + 1));
  saved.full_length = std::max<std::uint64_t>(full_length, payload.size());
  return saved;
}

}  // namespace kaldo
