#include "tool/outputs/ogr_layers.h"

#include <cpl_error.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <utility>

#include "tool/interrupt.h"
#include "tool/utc_text.h"

namespace kaldo::tool {
namespace {

using namespace std::chrono;

}  // namespace

const char* gpx_fix(kaldo::fix_state fix) {
  // GPX's "none" means no fix at all; a dead-reckoned position or a valid
  // fix of unknown dimension has no GPX value, and stays in fix_state only.
  static constexpr std::pair<kaldo::fix_state, const char*> table[] = {
      {kaldo::fix_state::none, "none"},
      {kaldo::fix_state::invalid, "none"},
      {kaldo::fix_state::fix_2d, "2d"},
      {kaldo::fix_state::fix_3d, "3d"},
  };
  for (const auto& [state, text] : table) {
    if (state == fix) return text;
  }
  return nullptr;
}

OGRFieldType field_type(point_value value, bool time_as_text) {
  switch (value) {
    case point_value::time:
      return time_as_text ? OFTString : OFTDateTime;
    case point_value::altitude:
    case point_value::speed:
    case point_value::course:
    case point_value::vertical_velocity:
      return OFTReal;
    case point_value::satellites:
    case point_value::emergency:
    case point_value::message_type:
    case point_value::track_number:
    case point_value::track_segment:
      return OFTInteger;
    case point_value::modem_id:
    case point_value::fix:
    case point_value::source:
    case point_value::time_text:
    case point_value::gpx_fix:
      return OFTString;
  }
  return OFTString;
}

namespace {

OGRFieldType field_type(track_value value, bool time_as_text) {
  switch (value) {
    case track_value::first_time:
    case track_value::last_time:
      return time_as_text ? OFTString : OFTDateTime;
    case track_value::points:
      return OFTInteger;
    case track_value::modem_id:
    case track_value::name:
      return OFTString;
  }
  return OFTString;
}

template <typename Field>
std::vector<int> field_indices(OGRLayer& layer, const std::vector<Field>& fields, bool create,
                               bool time_as_text, std::string* error) {
  std::vector<int> indices;
  for (const Field& field : fields) {
    const int predefined = layer.GetLayerDefn()->GetFieldIndex(field.name);
    if (create && predefined >= 0) {
      // GPX layers come with GPX's own fields (track_fid, ele, time, ...).
      indices.push_back(predefined);
    } else if (create) {
      OGRFieldDefn definition(field.name, field_type(field.value, time_as_text));
      if (layer.CreateField(&definition) != OGRERR_NONE) {
        *error = gdal_error(std::string("cannot create the field ") + field.name);
        return {};
      }
      // Created fields come last, whatever name the driver gave them.
      indices.push_back(layer.GetLayerDefn()->GetFieldCount() - 1);
    } else {
      const int index = predefined;
      if (index < 0) {
        *error = std::string("the layer ") + layer.GetName() + " has no field " + field.name +
                 ": it was not written by kaldo tracks";
        return {};
      }
      indices.push_back(index);
    }
  }
  return indices;
}


}  // namespace

void set_time(OGRFeature& feature, int index, kaldo::utc_time time, bool as_text) {
  if (as_text) {
    feature.SetField(index, utc_iso8601(time).c_str());
    return;
  }
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{time - day};
  const float second = static_cast<float>(clock.seconds().count()) +
                       static_cast<float>(clock.subseconds().count()) / 1000.0f;
  feature.SetField(index, static_cast<int>(date.year()), static_cast<int>(unsigned(date.month())),
                   static_cast<int>(unsigned(date.day())), static_cast<int>(clock.hours().count()),
                   static_cast<int>(clock.minutes().count()), second, 100 /* UTC */);
}

std::optional<kaldo::utc_time> time_field(const OGRFeature& feature, int index) {
  if (!feature.IsFieldSetAndNotNull(index)) return std::nullopt;
  if (feature.GetFieldDefnRef(index)->GetType() == OFTString) {
    return parse_iso8601(feature.GetFieldAsString(index));
  }
  int year, month, day, hour, minute, zone;
  float second;
  if (!const_cast<OGRFeature&>(feature).GetFieldAsDateTime(index, &year, &month, &day, &hour,
                                                           &minute, &second, &zone)) {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                            std::chrono::day{unsigned(day)}};
  if (!date.ok()) return std::nullopt;
  // Seconds come back as a float: the nearest millisecond is the one written.
  return sys_days{date} + hours{hour} + minutes{minute} +
         milliseconds{std::lround(static_cast<double>(second) * 1000.0)};
}

const std::vector<point_field>& positions_fields() {
  static const std::vector<point_field> fields = {
      {"modem_id", point_value::modem_id},
      {"time", point_value::time},
      {"altitude_m", point_value::altitude},
      {"speed_kmh", point_value::speed},
      {"course_deg", point_value::course},
      {"vertical_velocity_ms", point_value::vertical_velocity},
      {"satellites", point_value::satellites},
      {"fix", point_value::fix},
      {"emergency", point_value::emergency},
      {"message_type", point_value::message_type},
      {"source", point_value::source},
  };
  return fields;
}

const std::vector<track_field>& tracks_fields() {
  static const std::vector<track_field> fields = {
      {"modem_id", track_value::modem_id},
      {"first_time", track_value::first_time},
      {"last_time", track_value::last_time},
      {"points", track_value::points},
  };
  return fields;
}

const std::vector<point_field>& gpx_track_point_fields() {
  // GDAL's GPX writer makes a trk of each run of equal track_fid, names it
  // from track_name, and writes fields named like GPX elements as those
  // elements. The modem id goes into <src>, text that GDAL reads back as
  // text: as an extension GDAL would guess a number from its digits, and
  // fifteen of them overflow the integer it reads them into. GPX's own
  // <fix> takes none, 2d, 3d, dgps or pps only, so the fix state also
  // goes into the extensions, whole.
  static const std::vector<point_field> fields = {
      {"track_fid", point_value::track_number},
      {"track_seg_id", point_value::track_segment},
      {"track_name", point_value::modem_id},
      {"ele", point_value::altitude},
      {"time", point_value::time},
      {"src", point_value::modem_id},
      {"sat", point_value::satellites},
      {"fix", point_value::gpx_fix},
      {"speed_kmh", point_value::speed},
      {"course_deg", point_value::course},
      {"vertical_velocity_ms", point_value::vertical_velocity},
      {"fix_state", point_value::fix},
      {"emergency", point_value::emergency},
      {"message_type", point_value::message_type},
      {"source", point_value::source},
  };
  return fields;
}

// GDAL's LIBKML driver writes a field named "timestamp" as a placemark's
// <TimeStamp>, and "begin" and "end" as its <TimeSpan>: what a viewer's
// time slider reads.
const std::vector<point_field>& kml_point_fields() {
  static const std::vector<point_field> fields = [] {
    std::vector<point_field> list = {{"Name", point_value::time_text}};
    for (const point_field& field : positions_fields()) {
      list.push_back(field.value == point_value::time ? point_field{"timestamp", field.value}
                                                      : field);
    }
    return list;
  }();
  return fields;
}

const std::vector<track_field>& kml_line_fields() {
  static const std::vector<track_field> fields = {
      {"Name", track_value::name},
      {"modem_id", track_value::modem_id},
      {"begin", track_value::first_time},
      {"end", track_value::last_time},
      {"points", track_value::points},
  };
  return fields;
}

std::vector<int> point_field_indices(OGRLayer& layer, const std::vector<point_field>& fields,
                                     bool create, bool time_as_text, std::string* error) {
  return field_indices(layer, fields, create, time_as_text, error);
}

std::vector<int> track_field_indices(OGRLayer& layer, const std::vector<track_field>& fields,
                                     bool create, bool time_as_text, std::string* error) {
  return field_indices(layer, fields, create, time_as_text, error);
}

std::string gdal_error(const std::string& fallback) {
  const char* last = CPLGetLastErrorMsg();
  std::string message = last == nullptr ? "" : last;
  // GDAL's texts can hold whole SQL statements over many lines: one line
  // of a message shows their start (--verbose shows them whole).
  message.erase(std::min(message.find_first_of("\r\n"), message.size()));
  while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) {
    message.pop_back();
  }
  constexpr std::size_t longest = 160;
  if (message.size() > longest) {
    std::size_t cut = longest;
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) --cut;
    message.erase(cut);
    message += "...";
  }
  if (message.empty()) return fallback;
  return fallback + ": " + message;
}

namespace {

// Some drivers say a failure only through GDAL's error state and return
// success: that state is reset before each feature and read after it.
bool feature_written(OGRErr result) {
  return result == OGRERR_NONE && CPLGetLastErrorType() != CE_Failure &&
         CPLGetLastErrorType() != CE_Fatal;
}

}  // namespace

bool crosses_antimeridian(double from_longitude, double to_longitude) {
  return std::abs(to_longitude - from_longitude) > 180.0;
}

std::unique_ptr<OGRMultiLineString> split_line(const std::vector<line_vertex>& points) {
  if (points.size() < 2) return nullptr;
  auto lines = std::make_unique<OGRMultiLineString>();
  // Each part's vertices are gathered first and given to its line at once:
  // a line grown a vertex at a time reallocates for every one, which for
  // a unit of thousands of points is most of the work.
  std::vector<OGRRawPoint> part;
  part.reserve(points.size());
  const auto end_part = [&] {
    // A part of one vertex is a point on the antimeridian, at the end of
    // the neighbouring part already.
    if (part.size() >= 2) {
      auto line = std::make_unique<OGRLineString>();
      line->setPoints(static_cast<int>(part.size()), part.data());
      lines->addGeometryDirectly(line.release());
    }
    part.clear();
  };
  const line_vertex* previous = nullptr;
  for (const line_vertex& p : points) {
    if (previous != nullptr && crosses_antimeridian(previous->longitude, p.longitude)) {
      // Eastward over 180° when the longitude falls, westward over -180°
      // when it rises; the latitude is interpolated on the segment as the
      // map draws it, with the far end's longitude moved by a full turn.
      const bool eastward = p.longitude < previous->longitude;
      const double edge = eastward ? 180.0 : -180.0;
      const double far = p.longitude + (eastward ? 360.0 : -360.0);
      // From -180° to 180° (or back) is no distance: the part ends there.
      const double span = far - previous->longitude;
      const double t = span == 0.0 ? 0.0 : (edge - previous->longitude) / span;
      const double latitude = previous->latitude + t * (p.latitude - previous->latitude);
      if (previous->longitude != edge) part.push_back({edge, latitude});
      end_part();
      if (p.longitude != -edge || p.latitude != latitude) part.push_back({-edge, latitude});
    }
    part.push_back({p.longitude, p.latitude});
    previous = &p;
  }
  end_part();
  return lines;
}

std::unique_ptr<OGRMultiLineString> unit_line(const fleet& fleet, const unit_track& unit) {
  std::vector<line_vertex> points;
  points.reserve(unit.points.size());
  for (const std::size_t index : unit.points) {
    const kaldo::position& p = fleet.points[index].position;
    points.push_back({p.longitude, p.latitude});
  }
  return split_line(points);
}

namespace {

std::unique_ptr<OGRLineString> unsplit_line(const fleet& fleet, const unit_track& unit) {
  auto line = std::make_unique<OGRLineString>();
  line->setNumPoints(static_cast<int>(unit.points.size()), false);
  for (std::size_t i = 0; i < unit.points.size(); ++i) {
    const kaldo::position& p = fleet.points[unit.points[i]].position;
    line->setPoint(static_cast<int>(i), p.longitude, p.latitude);
  }
  return line;
}

}  // namespace

point_writer::point_writer(OGRLayer& layer, const std::vector<point_field>& fields,
                           std::vector<int> indices, bool time_as_text)
    : layer_(layer),
      fields_(fields),
      indices_(std::move(indices)),
      time_as_text_(time_as_text),
      feature_(new OGRFeature(layer.GetLayerDefn())),
      geometry_(new OGRPoint()) {
  feature_->SetGeometryDirectly(geometry_);
}

bool point_writer::write(const track_point& point, int track_number, std::string* error) {
  return write(point, track_number, 0, error);
}

bool point_writer::write(const track_point& point, int track_number, int track_segment,
                         std::string* error) {
  if (row_of(point, track_number, track_segment, error) == nullptr) return false;
  CPLErrorReset();
  if (!feature_written(layer_.CreateFeature(feature_.get()))) {
    *error = gdal_error(std::string("cannot write a point into ") + layer_.GetName());
    return false;
  }
  return true;
}

const OGRFeature* point_writer::row_of(const track_point& point, int track_number, int track_segment,
                                       std::string* error) {
  // Ctrl-C while the layers are written: the write fails here, and the
  // transaction or the staging folder takes back what was written.
  if (interrupt_signal() != 0) {
    *error = "interrupted";
    return nullptr;
  }
  OGRFeature& f = *feature_;
  const kaldo::position& p = point.position;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const int at = indices_[i];
    switch (fields_[i].value) {
      case point_value::modem_id: f.SetField(at, point.modem_id.c_str()); break;
      case point_value::time: set_time(f, at, p.time, time_as_text_); break;
      case point_value::time_text: f.SetField(at, utc_iso8601(p.time).c_str()); break;
      case point_value::altitude: f.SetField(at, p.altitude_m); break;
      case point_value::speed: f.SetField(at, p.speed_kmh); break;
      case point_value::course: f.SetField(at, p.course_deg); break;
      case point_value::vertical_velocity:
        if (p.vertical_velocity_ms) {
          f.SetField(at, *p.vertical_velocity_ms);
        } else {
          f.SetFieldNull(at);
        }
        break;
      case point_value::satellites: f.SetField(at, p.satellites); break;
      case point_value::fix: f.SetField(at, kaldo::to_string(p.fix)); break;
      case point_value::gpx_fix:
        if (const char* gpx = gpx_fix(p.fix)) {
          f.SetField(at, gpx);
        } else {
          f.SetFieldNull(at);
        }
        break;
      case point_value::emergency: f.SetField(at, p.emergency ? 1 : 0); break;
      case point_value::message_type: f.SetField(at, point.message_type); break;
      case point_value::source: f.SetField(at, point.source.c_str()); break;
      case point_value::track_number: f.SetField(at, track_number); break;
      case point_value::track_segment: f.SetField(at, track_segment); break;
    }
  }
  if (!usual_style_.empty() || !emergency_style_.empty()) {
    f.SetStyleString((p.emergency ? emergency_style_ : usual_style_).c_str());
  }
  geometry_->setX(p.longitude);
  geometry_->setY(p.latitude);
  f.SetFID(OGRNullFID);
  return &f;
}

void point_writer::set_styles(std::string usual, std::string emergency) {
  usual_style_ = std::move(usual);
  emergency_style_ = std::move(emergency);
}

track_writer::track_writer(OGRLayer& layer, const std::vector<track_field>& fields,
                           std::vector<int> indices, bool time_as_text,
                           bool single_point_as_point)
    : layer_(layer),
      fields_(fields),
      indices_(std::move(indices)),
      time_as_text_(time_as_text),
      single_point_as_point_(single_point_as_point) {}

bool track_writer::write(const fleet& fleet, const unit_track& unit, GIntBig replace_fid,
                         std::string* error) {
  if (interrupt_signal() != 0) {
    *error = "interrupted";
    return false;
  }
  if (unit.points.empty()) return true;
  OGRFeature feature(layer_.GetLayerDefn());
  const kaldo::utc_time first = fleet.points[unit.points.front()].position.time;
  const kaldo::utc_time last = fleet.points[unit.points.back()].position.time;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const int at = indices_[i];
    switch (fields_[i].value) {
      case track_value::modem_id:
      case track_value::name: feature.SetField(at, unit.modem_id.c_str()); break;
      case track_value::first_time: set_time(feature, at, first, time_as_text_); break;
      case track_value::last_time: set_time(feature, at, last, time_as_text_); break;
      case track_value::points:
        feature.SetField(at, static_cast<int>(unit.points.size()));
        break;
    }
  }
  if (unit.points.size() >= 2 && wkbFlatten(layer_.GetGeomType()) == wkbLineString) {
    feature.SetGeometryDirectly(unsplit_line(fleet, unit).release());
  } else if (unit.points.size() >= 2) {
    feature.SetGeometryDirectly(unit_line(fleet, unit).release());
  } else if (single_point_as_point_) {
    const kaldo::position& p = fleet.points[unit.points.front()].position;
    if (wkbFlatten(layer_.GetGeomType()) == wkbUnknown) {
      feature.SetGeometryDirectly(new OGRPoint(p.longitude, p.latitude));
    } else {
      // A layer of one geometry type: the point as a line of no length.
      auto* line = new OGRLineString();
      line->addPoint(p.longitude, p.latitude);
      line->addPoint(p.longitude, p.latitude);
      auto* lines = new OGRMultiLineString();
      lines->addGeometryDirectly(line);
      feature.SetGeometryDirectly(lines);
    }
  }
  if (!style_.empty()) feature.SetStyleString(style_.c_str());
  feature.SetFID(replace_fid);
  CPLErrorReset();
  const OGRErr result = replace_fid == OGRNullFID ? layer_.CreateFeature(&feature)
                                                  : layer_.SetFeature(&feature);
  if (!feature_written(result)) {
    *error = gdal_error("cannot write the track of " + unit.modem_id + " into " +
                        layer_.GetName());
    return false;
  }
  return true;
}

}  // namespace kaldo::tool
