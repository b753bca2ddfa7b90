// The files the map page inlines, compiled into the program at build time
// (cmake/embed_files.cmake) so that the page needs nothing beside it.
#pragma once

#include <string_view>

namespace kaldo::tool::map_page_assets {

std::string_view leaflet_js();   // third_party/leaflet/leaflet.js
std::string_view leaflet_css();  // third_party/leaflet/leaflet.css
std::string_view page_js();      // tool/outputs/map_page.js
std::string_view page_css();     // tool/outputs/map_page.css

}  // namespace kaldo::tool::map_page_assets
