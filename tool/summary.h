// The summary of a run: how many messages were found and what became of
// them, failures grouped by their text, skipped inputs by their reason; and
// the exit status that follows from it. Fed in input order; its memory
// grows with the number of distinct texts, not of messages.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tool/found_message.h"
#include "tool/message_outcome.h"

namespace kaldo::tool {

struct run_totals {
  std::uint64_t messages = 0;
  std::uint64_t converted = 0;
  std::uint64_t failed = 0;
  std::uint64_t not_position_reports = 0;
  std::uint64_t duplicates = 0;
  std::uint64_t skipped = 0;
  std::uint64_t unreadable_inputs = 0;  // among skipped: could not be read
  std::uint64_t outputs_not_written = 0;
};

class run_summary {
 public:
  void add(const message_outcome& outcome);
  void add(const skipped_input& input);

  const run_totals& totals() const { return totals_; }
  const std::map<std::string, std::uint64_t>& failures() const { return failures_; }
  const std::map<std::string, std::uint64_t>& skip_reasons() const { return skip_reasons_; }

  // 0: every message converted or is not a position report; 1: a message
  // failed, an input could not be read, or no input held any message;
  // 2: an output could not be written.
  int exit_status() const;

  // The text for the terminal, UTF-8, one line per count and group; under
  // each failure group and skip reason the names of its first inputs.
  std::string text() const;

  // How many names a group shows before "... and N more".
  static constexpr std::size_t names_shown = 3;

 private:
  run_totals totals_;
  std::map<std::string, std::uint64_t> failures_;      // UTF-8 text -> count
  std::map<std::string, std::uint64_t> skip_reasons_;  // UTF-8 reason -> count
  // The first names_shown inputs of each group, UTF-8.
  std::map<std::string, std::vector<std::string>> failure_names_;
  std::map<std::string, std::vector<std::string>> skip_names_;
};

}  // namespace kaldo::tool
