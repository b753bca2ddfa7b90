// Where a fleet goes. Every kind of output (GIS layers through GDAL/OGR,
// the HTML map page, ...) is an entry of one table, chosen by the
// destination; a run knows only this interface.
//
// The run with an output, in order:
//   auto output = open_fleet_output(dest, options, &error);  // before reading inputs
//   std::vector<track_point> stored;
//   output->read_stored(&stored, &error);                    // an earlier run's points
//   fleet_builder builder(valid_only);
//   for (auto& p : stored) builder.add_stored(std::move(p));
//   ... builder.add(decoded, source) for every message ...
//   fleet built = builder.finish();                          // counts complete now
//   output->write(built, &error);
// Any false return is the destination's fault: the run ends with status 2.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tool/fleet.h"

namespace kaldo::tool {

// What the command line says about the output; each kind takes what
// concerns it and leaves the rest.
struct output_options {
  std::string driver;        // --driver: a GDAL vector driver by name
  std::string tiles_url;     // --tiles: the map page's tile server; empty: the default
  bool with_source = false;  // --with-source: the map page shows each point's input
  bool verbose = false;      // --verbose: GDAL's own messages in full on stderr
  // The inputs as named on the command line, for outputs that record what
  // they were written from (a GeoPackage's metadata).
  std::vector<std::string> inputs;
};

class fleet_output {
 public:
  virtual ~fleet_output() = default;

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

  // What the user should know of how the destination was written (one
  // line, UTF-8); empty when there is nothing to say.
  virtual std::string note() const { return {}; }
};

// One kind of output: an entry of the output table.
struct output_kind {
  std::string name;  // how the table and its messages know it: "map page"
  // Whether this kind writes `destination`. Unset for the one kind that
  // takes every destination no other kind claims: GDAL's, which knows its
  // drivers by name and says which endings it knows.
  std::function<bool(const std::string& destination, const output_options& options)> claims;
  // Opens `destination`, checking already that it can be written, so that
  // a wrong destination costs nothing of the inputs' reading. Empty with
  // the reason in `*error` otherwise.
  std::function<std::unique_ptr<fleet_output>(const std::string& destination,
                                              const output_options& options, std::string* error)>
      open;
};

// Adds `kind` to the table, asked after the kinds already there and before
// the one that takes the rest. Refused, with the reason in `*error`, for a
// kind without a name, without `open`, without `claims`, or of a name the
// table has. Kinds are added before any output is opened: the table is not
// locked.
bool register_output(output_kind kind, std::string* error);

// The kind that writes `destination`: the first that claims it, else the
// one that takes the rest.
const output_kind& output_kind_for(const std::string& destination, const output_options& options);

// Opens `destination` with its kind (see output_kind::open).
std::unique_ptr<fleet_output> open_fleet_output(const std::string& destination,
                                                const output_options& options,
                                                std::string* error);

}  // namespace kaldo::tool
