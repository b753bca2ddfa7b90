#include "tool/report.h"

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "tool/display_text.h"

namespace kaldo::tool {

namespace {

using json = nlohmann::ordered_json;

json optional_number(const std::optional<std::uint64_t>& value) {
  return value ? json(*value) : json(nullptr);
}

json optional_path(const std::optional<std::string>& value) {
  return value ? json(path_to_utf8(*value)) : json(nullptr);
}

void put(std::FILE* file, const std::string& text) { std::fwrite(text.data(), 1, text.size(), file); }

}  // namespace

std::unique_ptr<run_report> run_report::create(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return nullptr;
  }
  std::FILE* skipped = std::tmpfile();
  if (skipped == nullptr) {
    *error = std::string("no temporary file: ") + std::strerror(errno);
    std::fclose(file);
    return nullptr;
  }
  put(file, "{\"messages\":[");
  return std::unique_ptr<run_report>(new run_report(file, skipped));
}

run_report::~run_report() {
  if (file_ != nullptr) std::fclose(file_);
  if (skipped_ != nullptr) std::fclose(skipped_);
}

void run_report::add(const message_outcome& outcome) {
  json entry;
  entry["source"] = path_to_utf8(outcome.origin.path);
  entry["index"] = optional_number(outcome.origin.index);
  entry["part"] = optional_path(outcome.origin.part);
  entry["modem_id"] = outcome.modem_id.empty() ? json(nullptr) : json(latin1_to_utf8(outcome.modem_id));
  entry["output"] = optional_path(outcome.output);
  entry["status"] = to_string(outcome.status);
  entry["error"] = outcome.status == message_status::failed ? json(latin1_to_utf8(outcome.error))
                                                            : json(nullptr);
  if (outcome.duplicate_of) entry["duplicate_of"] = *outcome.duplicate_of;
  put(file_, (first_message_ ? "\n" : ",\n") + entry.dump());
  first_message_ = false;
}

void run_report::add(const skipped_input& input) {
  json entry;
  entry["path"] = path_to_utf8(input.path);
  entry["index"] = optional_number(input.index);
  entry["reason"] = input.reason;
  put(skipped_, (first_skipped_ ? "\n" : ",\n") + entry.dump());
  first_skipped_ = false;
}

bool run_report::finish(const run_summary& summary, const ending& end, std::string* error) {
  put(file_, "\n],\"skipped\":[");
  std::rewind(skipped_);
  char buffer[64 * 1024];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, skipped_)) > 0) std::fwrite(buffer, 1, got, file_);
  const bool spill_ok = !std::ferror(skipped_);
  std::fclose(skipped_);
  skipped_ = nullptr;

  const run_totals& totals = summary.totals();
  json counts;
  counts["messages"] = totals.messages;
  counts["converted"] = totals.converted;
  counts["failed"] = totals.failed;
  counts["not_position_report"] = totals.not_position_reports;
  counts["duplicate"] = totals.duplicates;
  counts["skipped"] = totals.skipped;
  json failures = json::object();
  for (const auto& [text, count] : summary.failures()) failures[text] = count;
  counts["failures"] = std::move(failures);
  json reasons = json::object();
  for (const auto& [reason, count] : summary.skip_reasons()) reasons[reason] = count;
  counts["skip_reasons"] = std::move(reasons);
  counts["exit_status"] = end.exit_status.value_or(summary.exit_status());
  counts["interrupted"] = end.interrupted;
  counts["stopped"] = end.stopped.empty() ? json(nullptr) : json(end.stopped);
  put(file_, "\n],\"totals\":" + counts.dump() + "}\n");
  const bool write_ok = !std::ferror(file_);
  const bool close_ok = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!spill_ok || !write_ok || !close_ok) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace kaldo::tool
