// The table of sources. Kinds registered at run time come first, newest
// first, so that a more particular kind (a URL scheme) is asked before the
// paths that take everything.
#include <mutex>

#include "tool/sources/files_and_folders.h"
#include "tool/sources/imap_folder.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

namespace {

std::vector<source_kind>& table() {
  static std::vector<source_kind> kinds = {
      imap_folder_kind(),
      {"files and folders", [](std::string_view) { return true; }, open_files_and_folders, {}},
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

namespace {

source_kind kind_of(std::string_view input) {
  std::lock_guard lock(table_mutex());
  for (const source_kind& kind : table()) {
    if (kind.claims(input)) return kind;
  }
  return table().back();
}

}  // namespace

std::unique_ptr<source> open_source(const std::string& input, const source_settings& settings) {
  return kind_of(input).open(input, settings);
}

std::string input_refusal(const std::vector<std::string>& inputs, const source_settings& settings) {
  for (const std::string& input : inputs) {
    const source_kind kind = kind_of(input);
    if (!kind.refusal) continue;
    std::string why = kind.refusal(input, settings);
    if (!why.empty()) return why;
  }
  return {};
}

void walk_inputs(const std::vector<std::string>& inputs, message_sink& sink,
                 const source_settings& settings) {
  for (const std::string& input : inputs) open_source(input, settings)->run(sink);
}

std::uint64_t total_input_bytes(const std::vector<std::string>& inputs) {
  std::uint64_t total = 0;
  for (const std::string& input : inputs) total += open_source(input, {})->total_bytes();
  return total;
}

}  // namespace kaldo::tool
