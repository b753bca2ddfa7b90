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
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
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
  how.format = values.format_number >= 1 && values.format_number <= 10
                   ? values.format_number
                   : 6;
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

namespace {

// The library and the argument checks work on UTF-8, as on Linux, so that a
// name gives the same bytes (and the same modem id) on both. The ANSI code
// page could not hold every name a Windows user can type.
std::string to_utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(size) - 1);  // the terminator
  return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
  // Every line end is already CR LF in the text; text mode would add a
  // second CR before each LF.
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(to_utf8(wargv[i]));
  std::vector<const char*> argv;
  for (const auto& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return run_and_print(argc, argv.data());
}

#else

int main(int argc, char** argv) { return run_and_print(argc, argv); }

#endif
