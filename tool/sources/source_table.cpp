// The table of sources. Kinds registered at run time come first, newest
// first, so that a more particular kind (a URL scheme) is asked before the
// paths that take everything.
#include <mutex>

#include "tool/sources/files_and_folders.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

namespace {

std::vector<source_kind>& table() {
  static std::vector<source_kind> kinds = {
      {"files and folders", [](std::string_view) { return true; }, open_files_and_folders},
  };
  return kinds;
}

std::mutex& table_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void register_source(source_kind kind) {
  std::lock_guard lock(table_mutex());
  table().insert(table().begin(), std::move(kind));
}

std::unique_ptr<source> open_source(const std::string& input, const source_settings& settings) {
  std::function<std::unique_ptr<source>(const std::string&, const source_settings&)> open;
  {
    std::lock_guard lock(table_mutex());
    for (const source_kind& kind : table()) {
      if (kind.claims(input)) {
        open = kind.open;
        break;
      }
    }
  }
  return open(input, settings);
}

void walk_inputs(const std::vector<std::string>& inputs, message_sink& sink,
                 const std::vector<std::string>& pass_over) {
  const source_settings settings{pass_over};
  for (const std::string& input : inputs) open_source(input, settings)->run(sink);
}

std::uint64_t total_input_bytes(const std::vector<std::string>& inputs) {
  std::uint64_t total = 0;
  for (const std::string& input : inputs) total += open_source(input, {})->total_bytes();
  return total;
}

}  // namespace kaldo::tool
