#include "tool/outputs/unit_palette.h"

#include <cstdio>

namespace kaldo::tool {
namespace {

// Picked for their distance from each other, from emergency_red and from
// the map's pale ground; none so light that it vanishes on a white map.
constexpr rgb palette[palette_size] = {
    {0x1f, 0x4e, 0xb4}, {0x99, 0xaa, 0x00}, {0xff, 0x88, 0x88}, {0x22, 0x44, 0x22},
    {0x00, 0xaa, 0xaa}, {0x77, 0x11, 0x33}, {0xee, 0x00, 0xff}, {0x88, 0x55, 0x00},
    {0x44, 0x99, 0xff}, {0xee, 0x99, 0x22}, {0x88, 0x77, 0x99}, {0x00, 0x88, 0x33},
    {0x88, 0x00, 0x99}, {0xee, 0x00, 0x77}, {0x00, 0x66, 0x77}, {0x99, 0x88, 0x66},
    {0x44, 0x44, 0x55}, {0x00, 0xcc, 0x44}, {0x66, 0x66, 0x00}, {0x88, 0x77, 0xff},
};

constexpr const char* dash_patterns[] = {"", "8 4", "2 4", "8 4 2 4"};

}  // namespace

unit_style unit_style_at(std::size_t index) {
  constexpr std::size_t patterns = sizeof dash_patterns / sizeof dash_patterns[0];
  return {palette[index % palette_size], dash_patterns[(index / palette_size) % patterns]};
}

std::string hex_colour(rgb colour) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", colour.red, colour.green, colour.blue);
  return text;
}

}  // namespace kaldo::tool
