#include "tool/outputs/map_page_output.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "tool/outputs/map_page.h"
#include "tool/outputs/staging_dir.h"

namespace kaldo::tool {
namespace {

bool ends_with_html(const std::string& destination) {
  std::string tail = destination.substr(destination.size() < 5 ? 0 : destination.size() - 5);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".html";
}

class map_page_output final : public fleet_output {
 public:
  map_page_output(std::string destination, map_page_options options,
                  std::unique_ptr<staging_dir> staging)
      : destination_(std::move(destination)),
        options_(std::move(options)),
        staging_(std::move(staging)) {}

  bool appends() const override { return false; }
  bool read_stored(std::vector<track_point>*, std::string*) override { return true; }

  bool write(const fleet& fleet, std::string* error) override {
    const std::string staged = staging_->path_for(destination_);
    if (!write_map_page(fleet, options_, staged, error)) {
      // The staged file goes with its directory: the reason names the
      // destination the user gave.
      if (error->starts_with(staged)) error->replace(0, staged.size(), destination_);
      *error = "not written: " + *error;
      return false;
    }
    if (!staging_->move_in(error)) {
      *error = "not written: " + *error;
      return false;
    }
    return true;
  }

 private:
  std::string destination_;
  map_page_options options_;
  std::unique_ptr<staging_dir> staging_;
};

std::unique_ptr<fleet_output> open_map_page(const std::string& destination,
                                            const output_options& options, std::string* error) {
  std::filesystem::path directory = std::filesystem::path(destination).parent_path();
  if (directory.empty()) directory = ".";
  if (!std::filesystem::is_directory(directory)) {
    *error = "cannot write " + destination + ": " + directory.string() + " is not a directory";
    return nullptr;
  }
  auto staging = staging_dir::beside(destination, error);
  if (staging == nullptr) return nullptr;
  return std::make_unique<map_page_output>(
      destination, map_page_options{.tiles_url = options.tiles_url, .with_source = options.with_source, .live = {}},
      std::move(staging));
}

}  // namespace

output_kind map_page_output_kind() {
  return {.name = "map page",
          .claims =
              [](const std::string& destination, const output_options& options) {
                // --driver asks for GDAL's writer, whatever the ending.
                return options.driver.empty() && ends_with_html(destination);
              },
          .open = open_map_page};
}

}  // namespace kaldo::tool
