// The SMS e-mail parser over arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "input/Q7rv_wmp_email_report.h"

using namespace kaldo::detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  Q7RV_WMP_email_report email;
  const int result = email.parse_content(content);
  if (result != 0 && result != Q7RV_WMP_email_report::invalid_format) __builtin_trap();
  if (email.get_message().size() > size) __builtin_trap();
  // The markers themselves taken from the input, too.
  const std::size_t half = size / 2;
  Q7RV_WMP_email_report::text_between(content.substr(half), content.substr(0, half / 2),
                                      content.substr(half / 2, half - half / 2));
  Q7RV_WMP_email_report::find_text(content, content.substr(0, half % 5), static_cast<long>(half));
  return 0;
}
