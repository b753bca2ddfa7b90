// The fleet as one HTML map page (write_map_page), for a destination
// ending in .html. A page is always written anew.
#pragma once

#include <memory>
#include <string>

#include "tool/outputs/fleet_sink.h"

namespace kaldo::tool {

std::unique_ptr<fleet_sink> open_map_page_sink(const std::string& destination,
                                               const map_page_options& options,
                                               std::string* error);

}  // namespace kaldo::tool
