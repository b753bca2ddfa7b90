#include "input/Q7rv_wmp_email_report.h"

#include <cstdint>

#include "input/file_bytes.h"

namespace kaldo::detail {

long Q7RV_WMP_email_report::find_text(std::string_view text,
                                      std::string_view pattern, long start) {
  if (start < 0 || static_cast<std::size_t>(start) > text.size()) return -1;
  const std::size_t at = text.find(pattern, static_cast<std::size_t>(start));
  return at == std::string_view::npos ? -1 : static_cast<long>(at);
}

std::string Q7RV_WMP_email_report::text_between(std::string_view text,
                                                std::string_view start_marker,
                                                std::string_view end_marker) {
  if (text.size() < start_marker.size() || text.size() < end_marker.size()) {
    return {};
  }
  const std::string_view line_end = end_marker;
  if (text.substr(0, start_marker.size()) == start_marker) {
    const long end = find_text(text, line_end, 0);
    if (end >= 0) return std::string(text.substr(0, static_cast<std::size_t>(end)));
  }
  std::string line_start(line_end);
  line_start += start_marker;
  const long found = find_text(text, line_start, 0);
  if (found < 0) return {};
  const long from = found + static_cast<long>(line_start.size());
  const long end = find_text(text, end_marker, from);
  if (end < 0) return {};
  return std::string(text.substr(static_cast<std::size_t>(from),
                                 static_cast<std::size_t>(end - from)));
}

std::string modem_id_from_subject(std::string_view subject) {
  const std::size_t at = subject.find('@');
  if (at == std::string_view::npos) return "UNKNOWN";
  std::size_t first = at;
  while (first > 0 && subject[first - 1] >= '0' && subject[first - 1] <= '9') {
    --first;
  }
  return std::string(subject.substr(first, at - first));
}

int Q7RV_WMP_email_report::parse_content(std::string_view content) {
  std::string_view line_end = "\r\n";
  long blank = find_text(content, "\r\n\r\n", 0);
  if (blank < 0) {
    line_end = "\n";
    blank = find_text(content, "\n\n", 0);
    if (blank < 0) return invalid_format;
  }
  modem_id = modem_id_from_subject(text_between(content, "Subject:", line_end));

  const std::size_t body = static_cast<std::size_t>(blank) + 2 * line_end.size();
  message.assign(content.substr(body));
  // Trailing line ends are trimmed, but a body that is just one stays.
  while (message.size() > line_end.size() &&
         std::string_view(message).substr(message.size() - line_end.size()) ==
             line_end) {
    message.resize(message.size() - line_end.size());
  }
  return 0;
}

int Q7RV_WMP_email_report::parse_file(const std::string& file_name) {
  std::string content;
  std::uint64_t length = 0;
  if (!read_file_bytes(file_name, SIZE_MAX, content, length)) return cannot_open;
  return parse_content(content);
}

}  // namespace kaldo::detail
