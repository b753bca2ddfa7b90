// The fleet as GIS layers, written by GDAL/OGR: `positions` (a point per
// distinct report) and `tracks` (a line per unit), laid out as the
// destination's format allows (see ogr_outputs.h).
#pragma once

#include <memory>
#include <string>

#include "tool/outputs/fleet_sink.h"
#include "tool/outputs/ogr_outputs.h"

namespace kaldo::tool {

std::unique_ptr<fleet_sink> open_ogr_sink(const std::string& destination,
                                          const ogr_output& output, std::string* error);

}  // namespace kaldo::tool
