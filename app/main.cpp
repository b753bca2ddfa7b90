// Kaldo_Command_Line FILE FORMAT [OPTIONS]: converts one tracker message
// file and prints the result to standard output in one piece.
#include <cstdio>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "kaldo/kaldo.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "app/wide_arguments.h"
#endif

namespace {

int run(int argc, const char* const* argv, std::string& console) {
  kaldo::cli::run_values values;
  if (auto status = kaldo::cli::validate_arguments(argc, argv, values, console)) {
    return *status;
  }
  kaldo::settings how;
  // A format number out of range has been refused with a message, and the
  // run goes on in format 6, the one a fresh decoder starts with.
  how.format = kaldo::is_format_number(values.format_number) ? values.format_number : 6;
  if (!values.century_text.empty()) how.century = values.century_text;
  kaldo::file_conversion result = kaldo::convert_file(values.file_name, how);
  console += result.output;
  return result.exit_status;
}

int run_and_print(int argc, const char* const* argv) {
  std::string console;
  int status = run(argc, argv, console);
  // Output that could not be written is a failure, not a success.
  const bool written =
      std::fwrite(console.data(), 1, console.size(), stdout) == console.size();
  if (std::fflush(stdout) != 0 || !written) status = -1;
  return status;
}

}  // namespace

#ifdef _WIN32

int wmain(int argc, wchar_t** wargv) {
  // Every line end is already CR LF in the text; text mode would add a
  // second CR before each LF.
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    std::u16string wide;  // wchar_t holds UTF-16 code units on Windows
    for (const wchar_t* c = wargv[i]; *c != L'\0'; ++c) wide += static_cast<char16_t>(*c);
    arguments.push_back(kaldo::cli::utf8_from_utf16(wide));
  }
  std::vector<const char*> argv;
  for (const auto& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return run_and_print(argc, argv.data());
}

#else

int main(int argc, char** argv) { return run_and_print(argc, argv); }

#endif
