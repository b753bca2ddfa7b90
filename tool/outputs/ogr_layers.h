// The fields of our layers and how one point or one unit becomes a
// feature.
//
// `positions` and `tracks` have the same fields in every format; GPX and
// KML get variants of the positions fields that their drivers turn into
// the format's own elements (GPX: trk grouping, ele, time; KML: the
// placemark name). Fields are found by name on an existing layer and by
// position on a new one, since some drivers shorten names (DBF: ten
// characters).
#pragma once

#include <ogrsf_frmts.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tool/fleet.h"

namespace kaldo::tool {

// Our two layers, by the names that the formats holding both keep them by.
inline constexpr const char* positions_layer = "positions";
inline constexpr const char* tracks_layer = "tracks";

// What a point field holds.
enum class point_value {
  modem_id, time, altitude, speed, course, vertical_velocity, satellites, fix,
  emergency, message_type, source,
  track_number,   // GPX: which trk, one per unit
  track_segment,  // GPX: always the first segment
  time_text,      // KML: the placemark name
  gpx_fix,        // GPX's own <fix>: none, 2d or 3d where the fix state is one of those
};

// What a unit field holds.
enum class track_value { modem_id, first_time, last_time, points, name };

struct point_field {
  const char* name;
  point_value value;
};
struct track_field {
  const char* name;
  track_value value;
};

// GPX's <fix> for a fix state, or null where GPX has no value for it.
const char* gpx_fix(kaldo::fix_state fix);

// The field type a value is stored as; times are text where the format
// has no date-time type.
OGRFieldType field_type(point_value value, bool time_as_text);

const std::vector<point_field>& positions_fields();
const std::vector<track_field>& tracks_fields();
const std::vector<point_field>& gpx_track_point_fields();
// KML folders hold a unit's line and its points in one layer.
const std::vector<point_field>& kml_point_fields();
const std::vector<track_field>& kml_line_fields();

// Creates the fields on a new layer or finds them on an existing one.
// Returns the index of each field, in order; empty with the reason in
// `*error` when an existing layer lacks one.
std::vector<int> point_field_indices(OGRLayer& layer, const std::vector<point_field>& fields,
                                     bool create, bool time_as_text, std::string* error);
std::vector<int> track_field_indices(OGRLayer& layer, const std::vector<track_field>& fields,
                                     bool create, bool time_as_text, std::string* error);

// Whether the shorter way from one longitude to the next crosses the
// antimeridian (±180°) rather than the prime meridian's side of the globe.
bool crosses_antimeridian(double from_longitude, double to_longitude);

// A point of a line: what a unit's line is made of.
struct line_vertex {
  double longitude = 0;
  double latitude = 0;
};

// The line through `points`, in their order, split where it crosses the
// antimeridian, as unit_line() below says. Null for fewer than two points.
std::unique_ptr<OGRMultiLineString> split_line(const std::vector<line_vertex>& points);

// A unit's line, in time order, split where it crosses the antimeridian:
// each crossing ends one part at exactly ±180° and starts the next on the
// other side at the same latitude, interpolated along the segment, so that
// no segment spans more than 180° of longitude. Null for fewer than two
// points. The one place a unit's line geometry is made: every writer of a
// tracks layer calls it (through track_writer or directly).
std::unique_ptr<OGRMultiLineString> unit_line(const fleet& fleet, const unit_track& unit);

// Writes points into one layer, reusing one feature: the per-point cost
// is GDAL's own.
class point_writer {
 public:
  point_writer(OGRLayer& layer, const std::vector<point_field>& fields, std::vector<int> indices,
               bool time_as_text);
  // `track_number` is the GPX trk the point belongs to.
  bool write(const track_point& point, int track_number, std::string* error);
  // ... and `track_segment` its trkseg within that trk.
  bool write(const track_point& point, int track_number, int track_segment, std::string* error);
  // The row write() would write, for a caller that writes rows its own
  // way; null (with the reason) when the run is interrupted.
  const OGRFeature* row_of(const track_point& point, int track_number, int track_segment,
                           std::string* error);
  // OGR style strings for the points from now on (KML): `emergency` for
  // those with the emergency flag, `usual` for the others.
  void set_styles(std::string usual, std::string emergency);
  // The id the layer gave the point written last.
  GIntBig last_fid() const { return feature_->GetFID(); }

 private:
  OGRLayer& layer_;
  const std::vector<point_field>& fields_;
  std::vector<int> indices_;
  bool time_as_text_;
  std::unique_ptr<OGRFeature> feature_;
  OGRPoint* geometry_;  // owned by feature_
  std::string usual_style_, emergency_style_;
};

// Writes or replaces one row per unit, with its line (unit_line) as a
// MultiLineString; a unit with one point gets no line (or, with
// `single_point_as_point`, its point). A layer created for LineStrings (by
// code that predates the split) gets the line unsplit, as before.
class track_writer {
 public:
  track_writer(OGRLayer& layer, const std::vector<track_field>& fields, std::vector<int> indices,
               bool time_as_text, bool single_point_as_point = false);
  // `replace_fid` is the unit's row from an earlier run, or OGRNullFID.
  bool write(const fleet& fleet, const unit_track& unit, GIntBig replace_fid,
             std::string* error);
  // An OGR style string for the lines from now on (KML).
  void set_style(std::string style) { style_ = std::move(style); }

 private:
  OGRLayer& layer_;
  const std::vector<track_field>& fields_;
  std::vector<int> indices_;
  bool time_as_text_;
  bool single_point_as_point_;
  std::string style_;
};

// A time field, as a date-time or as ISO 8601 text where the format has
// no date-time type; time_field() reads back what set_time() wrote, and is
// empty for a null field or one that holds no time.
void set_time(OGRFeature& feature, int index, kaldo::utc_time time, bool as_text);
std::optional<kaldo::utc_time> time_field(const OGRFeature& feature, int index);

// `fallback` with the first line of GDAL's last error text, shortened to
// 160 bytes; `fallback` alone when GDAL recorded none.
std::string gdal_error(const std::string& fallback);

}  // namespace kaldo::tool
