#include "tool/outputs/map_page_sink.h"

#include <filesystem>

namespace kaldo::tool {
namespace {

class map_page_sink final : public fleet_sink {
 public:
  map_page_sink(std::string destination, map_page_options options)
      : destination_(std::move(destination)), options_(std::move(options)) {}

  bool appends() const override { return false; }
  bool read_stored(std::vector<track_point>*, std::string*) override { return true; }
  bool write(const fleet& fleet, std::string* error) override {
    return write_map_page(fleet, options_, destination_, error);
  }

 private:
  std::string destination_;
  map_page_options options_;
};

}  // namespace

std::unique_ptr<fleet_sink> open_map_page_sink(const std::string& destination,
                                               const map_page_options& options,
                                               std::string* error) {
  // Checked now rather than after reading every input.
  std::filesystem::path directory = std::filesystem::path(destination).parent_path();
  if (directory.empty()) directory = ".";
  if (!std::filesystem::is_directory(directory)) {
    *error = "cannot write " + destination + ": " + directory.string() + " is not a directory";
    return nullptr;
  }
  return std::make_unique<map_page_sink>(destination, options);
}

}  // namespace kaldo::tool
