#include "tool/message_outcome.h"

namespace kaldo::tool {

message_status status_of(kaldo::outcome result) {
  switch (result) {
    case kaldo::outcome::converted: return message_status::converted;
    case kaldo::outcome::not_position_report: return message_status::not_position_report;
    case kaldo::outcome::failed:
    case kaldo::outcome::invalid_settings: break;
  }
  return message_status::failed;
}

std::string error_line(std::string text) {
  if (text.starts_with("Error:")) text.erase(0, text.starts_with("Error: ") ? 7 : 6);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string error_line(kaldo::read_refusal refusal) {
  return error_line(std::string(kaldo::printed(refusal)));
}

}  // namespace kaldo::tool
