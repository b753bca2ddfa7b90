// Runs the --on-emergency program for one alert: without a shell (its path
// and nothing else is the command), the alert's JSON on its standard
// input, the alert's variables added to the receiver's environment, its
// output on the receiver's error stream. It runs in a process group of its
// own, so that a timeout ends whatever it started too.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kaldo::tool::serve {

struct program_outcome {
  bool succeeded = false;  // ran and exited with status 0
  std::string error;       // otherwise, why: one line
};

// `environment` entries are "NAME=value"; they replace the receiver's own
// variables of those names. A program still running after `timeout` is
// killed (SIGKILL to its group) and counts as failed; so is one still
// running once `give_up()` says true, checked every few milliseconds.
program_outcome run_alert_program(const std::string& program, const std::string& input,
                                  const std::vector<std::string>& environment,
                                  std::chrono::milliseconds timeout,
                                  const std::function<bool()>& give_up = {});

}  // namespace kaldo::tool::serve
