// The fleet as GIS layers, written by GDAL/OGR: `positions` (a point per
// distinct report) and `tracks` (a line per unit), laid out as the
// destination's format allows (see ogr_outputs.h). In the output table it
// takes every destination no other kind claims.
#pragma once

#include "tool/outputs/fleet_output.h"

namespace kaldo::tool {

output_kind ogr_output_kind();

}  // namespace kaldo::tool
