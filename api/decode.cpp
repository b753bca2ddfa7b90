// The typed decoding of the public interface. It walks a message with the
// same steps as the format 7 conversion (the same checks of the message,
// the same report decoder, the same fitting of each report's fields, the
// same failure texts) and reads numbers where the conversion prints.
#include "kaldo/decode.h"

#include <utility>

#include "api/record_setup.h"
#include "api/report_values.h"
#include "convert/decode_message.h"
#include "convert/report_walk.h"
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

namespace {

constexpr int typed_format = 7;  // the format whose values and failures are followed

// The reports of a checked message. Returns 0, or -1 with the error text.
int walk_typed(detail::gps_report_convert& record, const detail::message_work& work,
               decoded_message& decoded) {
  std::vector<report> reports;
  reports.reserve(work.bytes()[1]);
  const bool all_decoded = detail::decode_each_report(
      record, work.bytes(), [&](std::size_t i) {
        const detail::report_clock clock = detail::read_report_clock(record);
        // A field that does not fit fails the message with error_text,
        // as the format 7 block would.
        if (!detail::fit_easy_block(record, true).all()) return;
        report& added = reports.emplace_back();
        added.index = static_cast<int>(i);
        detail::read_report(record, clock, added);
      });
  if (all_decoded) detail::take_modem_id_from_message(record, work.bytes(), work.size());
  if (!record.error_text.empty()) {
    decoded.error = record.error_text;
    return -1;
  }
  decoded.message_type = record.message_type;
  decoded.modem_id = detail::printed_modem_id(record);
  decoded.reports = std::move(reports);
  return 0;
}

}  // namespace

decoded_message decode_message(const message& msg, const settings& how) {
  decoded_message decoded;
  if (auto problem = detail::settings_problem(how, false)) {
    decoded.result = outcome::invalid_settings;
    decoded.error = std::move(*problem);
    return decoded;
  }
  detail::gps_report_convert record;
  detail::prepare_record(record, how, msg.kind, typed_format);
  detail::message_work work;
  int status = detail::open_public_message(record, msg, work, decoded.error);
  if (status == 0) status = walk_typed(record, work, decoded);
  decoded.kind = detail::kind_of(record);
  decoded.result = detail::outcome_of(record, status);
  return decoded;
}

}  // namespace kaldo
