#include "tool/outputs/fleet_sink.h"

#include <algorithm>
#include <cctype>

#include "tool/outputs/map_page_sink.h"
#include "tool/outputs/ogr_outputs.h"
#include "tool/outputs/ogr_sink.h"

namespace kaldo::tool {
namespace {

bool ends_with_html(const std::string& destination) {
  std::string tail = destination.substr(destination.size() < 5 ? 0 : destination.size() - 5);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".html";
}

}  // namespace

std::unique_ptr<fleet_sink> open_fleet_sink(const std::string& destination,
                                            const sink_options& options, std::string* error) {
  // The map page is ours; every other kind of output is a GDAL driver's.
  if (options.driver.empty() && ends_with_html(destination)) {
    return open_map_page_sink(destination, options.map_page, error);
  }
  const auto output = ogr_output_for(destination, options.driver, error);
  if (!output) return nullptr;
  return open_ogr_sink(destination, *output, error);
}

}  // namespace kaldo::tool
