// The colours units are told apart by, the same in every output that
// styles them (the map page, KML, the GeoPackage's and PostGIS's stored
// styles), so a unit looks alike wherever it is opened.
//
// Twenty colours, each pair at least 10 apart by CIEDE2000 (clearly told
// apart side by side), none near the red kept for emergencies; past them
// the colours repeat with a dash pattern.
#pragma once

#include <cstddef>
#include <string>

namespace kaldo::tool {

struct rgb {
  unsigned char red, green, blue;
};

// Emergencies, in every output.
inline constexpr rgb emergency_red{0xd4, 0x00, 0x00};

inline constexpr std::size_t palette_size = 20;

struct unit_style {
  rgb colour;
  // The dash pattern of the unit's line as lengths in pixels, dash and
  // gap alternating ("8 4"); empty for a solid line.
  const char* dashes;
};

// The style of the unit at `index` in the order of fleet::units.
unit_style unit_style_at(std::size_t index);

// "#rrggbb".
std::string hex_colour(rgb colour);

}  // namespace kaldo::tool
