// The JSON report of a run: one object with "messages" (one entry per
// message, in input order), "skipped" (path and reason of every input
// passed over) and "totals". Entries are written as they come, so a run of
// millions of messages never holds its report in memory; every text in it
// is valid UTF-8.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "tool/found_message.h"
#include "tool/message_outcome.h"
#include "tool/summary.h"

namespace kaldo::tool {

class run_report {
 public:
  // Creates the report file at `path`; null with the reason when it
  // cannot be written.
  static std::unique_ptr<run_report> create(const std::string& path, std::string* error);
  ~run_report();

  void add(const message_outcome& outcome);
  void add(const skipped_input& input);
  // Writes the totals and closes the file; false with the reason when
  // anything could not be written. A run that ended early says so in its
  // totals: "interrupted" (by a signal) and "stopped" (why, or null).
  struct ending {
    bool interrupted = false;
    std::string stopped;  // UTF-8; empty: the run went through
    std::optional<int> exit_status;  // the run's, when not the summary's
  };
  bool finish(const run_summary& summary, const ending& end, std::string* error);

 private:
  run_report(std::FILE* file, std::FILE* skipped) : file_(file), skipped_(skipped) {}
  std::FILE* file_;
  std::FILE* skipped_;  // the skipped entries until the messages are done
  bool first_message_ = true;
  bool first_skipped_ = true;
};

}  // namespace kaldo::tool
