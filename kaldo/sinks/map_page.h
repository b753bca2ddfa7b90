// The map page: one self-contained HTML file that shows every unit's track
// on a map (Leaflet, inlined), for people without a GIS tool.
#pragma once

#include <string>

#include "kaldo/fleet.h"

namespace kaldo::tool {

struct map_page_options {
  // The tile server, "{z}/{x}/{y}" style; empty: OpenStreetMap's.
  std::string tiles_url;
  // Whether each point carries its `source` (input path and attachment).
  // Off by default: a page is made to be shared.
  bool with_source = false;
};

// Writes the page for `fleet` to `path`. Returns false with the reason in
// `*error` when the file cannot be written; a half-written file is removed.
bool write_map_page(const fleet& fleet, const map_page_options& options,
                    const std::string& path, std::string* error);

}  // namespace kaldo::tool
