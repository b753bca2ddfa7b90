// The typed decoding of the public interface. It walks a message with the
// same steps as the format 7 conversion (the same checks of the message,
// the same report decoder, the same fitting of each report's fields, the
// same failure texts) and reads numbers where the conversion prints.
#include "kaldo/decode.h"

#include <utility>

#include "api/plain_report.h"
#include "api/record_setup.h"
#include "api/report_values.h"
#include "convert/decode_message.h"
#include "convert/report_walk.h"
#include "decode/numbers.h"
#include "formats/easy_text.h"

namespace kaldo {

const char* to_string(fix_state fix) noexcept {
  switch (fix) {
    case fix_state::none: return "none";
    case fix_state::fix_2d: return "2d";
    case fix_state::fix_3d: return "3d";
    case fix_state::dead_reckoning: return "dead_reckoning";
    case fix_state::valid: return "valid";
    case fix_state::invalid: return "invalid";
  }
  return "invalid";
}

namespace detail {

namespace {

constexpr int typed_format = 7;  // the format whose values and failures are followed

// One report through the decoder's field texts, fitted as the format 7
// block fits them: the way of any report that is not plain. Fields that
// do not fit fail the message: the text is then in `error_text`.
void add_through_fields(gps_report_convert& record, std::size_t i,
                        std::vector<report>& reports) {
  const report_clock clock = read_report_clock(record);
  if (!fit_easy_block(record, true).all()) return;
  report& added = reports.emplace_back();
  added.index = static_cast<int>(i);
  read_report(record, clock, added);
}

// The reports of a checked message. Returns 0, or -1 with the error text.
int walk_typed(gps_report_convert& record, const message_work& work,
               decoded_message& decoded, bool plain_reports_first) {
  const unsigned char* bytes = work.bytes();
  const std::size_t count = bytes[1];
  std::vector<report> reports;
  reports.reserve(count);
  const plain_report_context context{record.message_type, read_number(record.century)};
  bool modem_id_in_message = false;
  bool all_decoded = true;
  for (std::size_t i = 0; i < count; ++i) {
    // After a report whose fields failed, the next one is still decoded,
    // as the text conversion does, and may add its own failure.
    if (plain_reports_first && record.error_text.empty()) {
      report& added = reports.emplace_back();
      if (read_plain_report(bytes + report_offset(i), context, added, modem_id_in_message)) {
        added.index = static_cast<int>(i);
        continue;
      }
      reports.pop_back();
    }
    copy_report(record, bytes + report_offset(i));
    decode_report_fields(record);
    if (!record.error_text.empty()) {
      all_decoded = false;
      break;
    }
    add_through_fields(record, i, reports);
  }
  if (modem_id_in_message) record.modem_id_in_message = 1;
  if (all_decoded) take_modem_id_from_message(record, bytes, work.size());
  if (!record.error_text.empty()) {
    decoded.error = record.error_text;
    return -1;
  }
  decoded.message_type = record.message_type;
  if (!record.modem_id.empty()) decoded.known_modem_id = record.modem_id;
  decoded.modem_id = printed_modem_id(record);
  decoded.reports = std::move(reports);
  return 0;
}

decoded_message decode(const message& msg, const settings& how, bool plain_reports_first) {
  decoded_message decoded;
  if (auto problem = settings_problem(how, false)) {
    decoded.result = outcome::invalid_settings;
    decoded.error = std::move(*problem);
    return decoded;
  }
  gps_report_convert record;
  prepare_record(record, how, msg.kind, typed_format);
  message_work work;
  int status = open_public_message(record, msg, work, decoded.error);
  if (status == 0) status = walk_typed(record, work, decoded, plain_reports_first);
  decoded.kind = kind_of(record);
  decoded.result = outcome_of(record, status);
  return decoded;
}

}  // namespace

decoded_message decode_message_through_fields(const message& msg, const settings& how) {
  return decode(msg, how, false);
}

}  // namespace detail

decoded_message decode_message(const message& msg, const settings& how) {
  return detail::decode(msg, how, true);
}

}  // namespace kaldo
