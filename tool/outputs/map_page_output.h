// The fleet as one HTML map page (write_map_page), for a destination
// ending in .html when no --driver is named. A page is always written
// anew, staged beside the destination like the GIS files: a failed run
// leaves the earlier page as it was.
#pragma once

#include "tool/outputs/fleet_output.h"

namespace kaldo::tool {

output_kind map_page_output_kind();

}  // namespace kaldo::tool
