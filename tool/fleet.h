// The fleet: every distinct position report of a run, grouped by unit.
//
// A report the unit re-sent, or an e-mail delivered twice, is one point
// here: points are distinct by modem id, time, latitude and longitude.
// Every output (GIS layers, the map page) writes from this one model.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kaldo/decode.h"

namespace kaldo::tool {

struct track_point {
  std::string modem_id;  // valid UTF-8 (modem ids are Latin-1 bytes)
  kaldo::position position;
  int message_type = 0;  // 1, 2, 3 or 103
  // Where it was first seen: the input path, and the attachment name
  // where there is one (valid UTF-8).
  std::string source;
  // Already at the destination, written by an earlier run into the same
  // GeoPackage or database: it counts for its unit's line but is not
  // written again. Of a stored point only the modem id, time, position and
  // emergency flag are read back.
  bool stored = false;
};

struct unit_track {
  std::string modem_id;             // valid UTF-8
  std::vector<std::size_t> points;  // indices into fleet::points, time order
  std::size_t emergencies = 0;      // points with the emergency flag
  // Whether this run added points to the unit: only then does an
  // appending output rebuild its line.
  bool changed = false;
};

struct fleet {
  std::vector<track_point> points;  // in the order first seen
  std::vector<unit_track> units;    // ordered by modem id
};

}  // namespace kaldo::tool
