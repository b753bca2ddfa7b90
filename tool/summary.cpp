#include "tool/summary.h"

#include <cstdio>

#include "tool/display_text.h"

namespace kaldo::tool {

const char* to_string(message_status status) {
  switch (status) {
    case message_status::converted: return "converted";
    case message_status::failed: return "failed";
    case message_status::not_position_report: return "not_position_report";
    case message_status::duplicate: return "duplicate";
  }
  return "failed";
}

void run_summary::add(const message_outcome& outcome) {
  ++totals_.messages;
  switch (outcome.status) {
    case message_status::converted: ++totals_.converted; break;
    case message_status::not_position_report: ++totals_.not_position_reports; break;
    case message_status::duplicate: ++totals_.duplicates; break;
    case message_status::failed: {
      ++totals_.failed;
      std::string text = latin1_to_utf8(outcome.error);
      std::vector<std::string>& names = failure_names_[text];
      if (names.size() < names_shown) names.push_back(display_name_of(outcome.origin));
      ++failures_[std::move(text)];
      break;
    }
  }
  if (outcome.output_not_written) ++totals_.outputs_not_written;
}

void run_summary::add(const skipped_input& input) {
  ++totals_.skipped;
  if (input.unreadable) ++totals_.unreadable_inputs;
  std::vector<std::string>& names = skip_names_[input.reason];
  if (names.size() < names_shown) {
    std::string name = path_to_utf8(input.path);
    if (input.index) name.append("#").append(std::to_string(*input.index));
    names.push_back(std::move(name));
  }
  ++skip_reasons_[input.reason];
}

int run_summary::exit_status() const {
  if (totals_.outputs_not_written > 0) return 2;
  if (totals_.failed > 0 || totals_.unreadable_inputs > 0) return 1;
  // A run that found nothing to do did not do what was asked.
  if (totals_.messages == 0) return 1;
  return 0;
}

namespace {

void line(std::string& text, const char* label, std::uint64_t count) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%12llu  ", static_cast<unsigned long long>(count));
  text += buffer;
  text += label;
  text += '\n';
}

void groups(std::string& text, const std::map<std::string, std::uint64_t>& counts,
            const std::map<std::string, std::vector<std::string>>& names) {
  for (const auto& [what, count] : counts) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%16llu  ", static_cast<unsigned long long>(count));
    text += buffer;
    text += what;
    text += '\n';
    const auto shown = names.find(what);
    if (shown == names.end()) continue;
    constexpr std::string_view indent = "                    ";
    for (const std::string& name : shown->second) text.append(indent).append(name).append("\n");
    if (count > shown->second.size()) {
      text.append(indent).append("... and ").append(std::to_string(count - shown->second.size()));
      text.append(" more (see --report)\n");
    }
  }
}

}  // namespace

std::string run_summary::text() const {
  std::string text;
  line(text, "messages found", totals_.messages);
  line(text, "converted", totals_.converted);
  line(text, "failed", totals_.failed);
  groups(text, failures_, failure_names_);
  line(text, "not position reports", totals_.not_position_reports);
  line(text, "duplicates", totals_.duplicates);
  line(text, "inputs skipped", totals_.skipped);
  groups(text, skip_reasons_, skip_names_);
  if (totals_.outputs_not_written > 0) {
    line(text, "outputs that could not be written", totals_.outputs_not_written);
  }
  return text;
}

}  // namespace kaldo::tool
