// Kaldo_Command_Line FILE FORMAT [OPTIONS]: converts one tracker message
// file and prints the result to standard output in one piece.
#include <cstdio>
#include <string>

#include "app/arguments.h"
#include "kaldo/kaldo.h"

namespace {

int run(int argc, const char* const* argv, std::string& console) {
  kaldo::cli::run_values values;
  if (auto status = kaldo::cli::validate_arguments(argc, argv, values, console)) {
    return *status;
  }
  kaldo::settings how;
  // A format number out of range has been refused with a message, and the
  // run goes on in format 6, the one a fresh decoder starts with.
  how.format = values.format_number >= 1 && values.format_number <= 10
                   ? values.format_number
                   : 6;
  if (!values.century_text.empty()) how.century = values.century_text;
  kaldo::file_conversion result = kaldo::convert_file(values.file_name, how);
  console += result.output;
  return result.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string console;
  int status = run(argc, argv, console);
  // Output that could not be written is a failure, not a success.
  const bool written =
      std::fwrite(console.data(), 1, console.size(), stdout) == console.size();
  if (std::fflush(stdout) != 0 || !written) status = -1;
  return status;
}
