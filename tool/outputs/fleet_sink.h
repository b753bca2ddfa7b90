// Where a fleet goes: GIS layers through GDAL/OGR, or the HTML map page.
// Every kind of output is a fleet_sink, chosen by the destination.
//
// The run with a sink, in order:
//   auto sink = open_fleet_sink(dest, options, &error);   // before reading inputs
//   std::vector<track_point> stored;
//   sink->read_stored(&stored, &error);                    // an earlier run's points
//   fleet_builder builder(valid_only);
//   for (auto& p : stored) builder.add_stored(std::move(p));
//   ... builder.add(decoded, source) for every message ...
//   fleet built = builder.finish();                        // counts complete now
//   sink->write(built, &error);
// Any false return is the destination's fault: the run ends with status 2.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tool/fleet.h"
#include "tool/outputs/map_page.h"

namespace kaldo::tool {

struct sink_options {
  std::string driver;          // --driver: a GDAL vector driver by name
  map_page_options map_page;   // for a destination ending in .html
};

class fleet_sink {
 public:
  virtual ~fleet_sink() = default;

  // Whether what the destination holds is kept and added to; otherwise it
  // is written anew from this run's inputs.
  virtual bool appends() const = 0;

  // The points an earlier run wrote; none unless appends().
  virtual bool read_stored(std::vector<track_point>* points, std::string* error) = 0;

  // Writes `fleet`: its points that are not stored, and the lines of its
  // changed units (of every unit when written anew). When it fails,
  // nothing half-written is left: a file keeps what it had, a database
  // rolls back.
  virtual bool write(const fleet& fleet, std::string* error) = 0;
};

// Opens `destination`, checking already that it can be written, so that a
// wrong destination costs nothing of the inputs' reading. Empty with the
// reason in `*error` otherwise.
std::unique_ptr<fleet_sink> open_fleet_sink(const std::string& destination,
                                            const sink_options& options, std::string* error);

}  // namespace kaldo::tool
