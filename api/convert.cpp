// The text conversion of the public interface: one fresh decoder record per
// call, so that nothing is shared between calls or threads.
#include "kaldo/convert.h"

#include "api/record_setup.h"
#include "formats/format_table.h"
#include "kaldo/read.h"

namespace kaldo {

const char* format_name(int number) noexcept {
  if (!is_format_number(number)) return "";
  return detail::output_format_for(number - 1).name;
}

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
  const saved_message saved = read_message_file(path);
  if (saved.refusal) {
    run.output = printed(*saved.refusal);
    run.exit_status = exit_status(*saved.refusal);
    return run;
  }
  const conversion converted = convert_message(saved.view(), saved.with_modem_id(how));
  run.output = converted.printed();
  run.exit_status = converted.converted() ? 0 : -1;
  return run;
}

}  // namespace kaldo
