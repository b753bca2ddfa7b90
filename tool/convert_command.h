// kaldo convert: every message of the inputs into one text file each, with
// exactly the bytes Kaldo_Command_Line prints for it saved as a file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tool/run.h"

namespace kaldo::tool {

struct convert_options {
  int format = 0;
  run_options run;  // inputs, --century, --jobs, --report, --quiet
  std::string output_folder;
};

// The whole run: the exit status (0, 1 or 2) with the summary on stderr.
int run_convert(const convert_options& options);

std::function<int()> setup_convert_command(CLI::App& command);

}  // namespace kaldo::tool
