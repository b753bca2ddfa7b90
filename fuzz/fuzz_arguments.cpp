// The argument checks over arbitrary argument vectors: NUL bytes separate
// the arguments.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "kaldo/names.h"

using namespace kaldo::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"Kaldo_Command_Line"};
  std::string current;
  for (std::size_t i = 0; i < size && args.size() < 12; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  run_values values;
  std::string console;
  const auto status = validate_arguments(static_cast<int>(args.size()), argv.data(),
                                         values, console);
  if (status && *status != 0 && *status != -1) __builtin_trap();
  if (!status) kaldo::file_kind_of(values.file_name);
  return 0;
}
