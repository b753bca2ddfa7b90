// Reads layers back with GDAL, whatever format wrote them, into plain
// values the tests compare with what was written.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kaldo/decode.h"
#include "tool/fleet.h"

namespace kaldo::tool::testing {

struct read_point {
  std::string modem_id;
  std::optional<kaldo::utc_time> time;
  double latitude = 0, longitude = 0;
  // Absent where the format has no such field, or the value is null.
  std::optional<double> altitude_m, speed_kmh, course_deg, vertical_velocity_ms;
  std::optional<long long> satellites, emergency, message_type;
  std::optional<std::string> fix, source;
  long long fid = -1;
};

struct read_track {
  std::string modem_id;
  std::optional<kaldo::utc_time> first_time, last_time;
  std::optional<long long> points;
  std::vector<std::pair<double, double>> line;  // (longitude, latitude), every part's
  std::size_t parts = 0;                         // lines the geometry holds
  bool multi = false;                            // stored as a MultiLineString
  long long fid = -1;
};

// The point features of `layer` of `dataset` (every layer when `layer` is
// empty), by the field names we write: also found with GDAL's "ogr_"
// prefix of GPX extensions and as DBF's ten-character names; `modem_id`
// falls back to the layer's name (KML folders). Fails the test when the
// dataset cannot be opened.
std::vector<read_point> read_points(const std::string& dataset, const std::string& layer);
// The rows of units; with `skip_points`, point features are not rows (KML
// folders hold a unit's line and its points).
std::vector<read_track> read_tracks(const std::string& dataset, const std::string& layer,
                                    bool skip_points = false);

// The points of `fleet` in the order read_points is compared in: by modem
// id, time, latitude.
std::vector<read_point> expected_points(const fleet& fleet);
void sort_points(std::vector<read_point>& points);

// Compares point by point; coordinates within `tolerance` degrees.
void expect_same_points(const std::vector<read_point>& expected,
                        const std::vector<read_point>& actual, double tolerance);

// The names in `directory`, sorted: what a write left there, staging
// directories included.
std::vector<std::string> files_in(const std::string& directory);

}  // namespace kaldo::tool::testing
