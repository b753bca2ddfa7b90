// kaldo tracks: where every unit has been. The distinct position reports
// of the inputs, and a line per unit, written through GDAL/OGR into a
// GeoPackage, PostGIS, GPX, KML and other GIS formats, or as the map page.
// Inputs, skipping rules, summary, report, progress and exit statuses are
// those of kaldo convert.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tool/outputs/fleet_output.h"
#include "tool/run.h"

namespace kaldo::tool {

struct tracks_options {
  run_options run;  // inputs, --century, --jobs, --report, --quiet
  bool valid_only = false;
  std::string destination;
  output_options output;  // --driver, and --tiles, --with-source for the map page
};

// The whole run: the exit status (0, 1 or 2) with the summary on stderr.
int run_tracks(const tracks_options& options);

std::function<int()> setup_tracks_command(CLI::App& command);

}  // namespace kaldo::tool
