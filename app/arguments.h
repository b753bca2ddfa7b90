// The command line: FILE FORMAT [OPTIONS], its checks and the usage text.
//
// Everything the program prints goes into `console`, which the entry point
// writes to standard output in one piece at the end of the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kaldo::cli {

struct run_values {
  std::string file_name;
  std::int32_t format_number = 0;
  std::string century_text;  // the two digits of a \Y option, or empty
  bool encryption_requested = false;
};

// Fills `values`. Returns the exit status when the run ends here (usage,
// a refused optional argument), or nothing when it goes on.
std::optional<int> validate_arguments(int argc, const char* const* argv,
                                      run_values& values, std::string& console);

// The optional arguments (position 3 on): \Ymc, and the \eu: \ep: \ekey:
// encryption options, refused when all three are given.
std::optional<int> parse_optional_arguments(int argc, const char* const* argv,
                                            run_values& values,
                                            std::string& console);

void print_usage(std::string& console);

// The format argument read like atol, saturated to the 32-bit range.
std::int32_t read_format_number(const char* text);

}  // namespace kaldo::cli
