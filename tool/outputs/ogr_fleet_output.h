// The fleet as GIS layers, written by GDAL/OGR: `positions` (a point per
// distinct report) and `tracks` (a line per unit), laid out as the
// destination's format allows (see ogr_outputs.h). In the output table it
// takes every destination no other kind claims.
#pragma once

#include <memory>
#include <string>

#include "tool/outputs/fleet_output.h"
#include "tool/outputs/ogr_outputs.h"

namespace kaldo::tool {

output_kind ogr_output_kind();

// `destination` opened for `output`, the row of the output table that
// ogr_output_kind() chooses (or one a test makes); a driver named in
// `options` is the user's own choice, kept whatever the fleet.
std::unique_ptr<fleet_output> open_ogr_fleet_output(const std::string& destination, const ogr_output& output,
                                                    const output_options& options, std::string* error);

}  // namespace kaldo::tool
