#include "tool/outputs/ogr_layers.h"

#include <cpl_error.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>

#include "tool/interrupt.h"
#include "tool/utc_text.h"

namespace kaldo::tool {
namespace {

using namespace std::chrono;

}  // namespace

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
  // elements. GPX's own <fix> takes none, 2d, 3d, dgps or pps only, so the
  // fix state goes into the extensions under another name.
  static const std::vector<point_field> fields = {
      {"track_fid", point_value::track_number},
      {"track_seg_id", point_value::track_segment},
      {"track_name", point_value::modem_id},
      {"ele", point_value::altitude},
      {"time", point_value::time},
      {"modem_id", point_value::modem_id},
      {"speed_kmh", point_value::speed},
      {"course_deg", point_value::course},
      {"vertical_velocity_ms", point_value::vertical_velocity},
      {"satellites", point_value::satellites},
      {"fix_state", point_value::fix},
      {"emergency", point_value::emergency},
      {"message_type", point_value::message_type},
      {"source", point_value::source},
  };
  return fields;
}

const std::vector<point_field>& kml_point_fields() {
  static const std::vector<point_field> fields = [] {
    std::vector<point_field> list = {{"Name", point_value::time_text}};
    list.insert(list.end(), positions_fields().begin(), positions_fields().end());
    return list;
  }();
  return fields;
}

const std::vector<track_field>& kml_line_fields() {
  static const std::vector<track_field> fields = {
      {"Name", track_value::name},
      {"modem_id", track_value::modem_id},
      {"first_time", track_value::first_time},
      {"last_time", track_value::last_time},
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
  // Ctrl-C while the layers are written: the write fails here, and the
  // transaction or the staging folder takes back what was written.
  if (interrupt_signal() != 0) {
    *error = "interrupted";
    return false;
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
      case point_value::emergency: f.SetField(at, p.emergency ? 1 : 0); break;
      case point_value::message_type: f.SetField(at, point.message_type); break;
      case point_value::source: f.SetField(at, point.source.c_str()); break;
      case point_value::track_number: f.SetField(at, track_number); break;
      case point_value::track_segment: f.SetField(at, 0); break;
    }
  }
  geometry_->setX(p.longitude);
  geometry_->setY(p.latitude);
  f.SetFID(OGRNullFID);
  CPLErrorReset();
  if (!feature_written(layer_.CreateFeature(&f))) {
    *error = gdal_error(std::string("cannot write a point into ") + layer_.GetName());
    return false;
  }
  return true;
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
  if (unit.points.size() >= 2) {
    auto* line = new OGRLineString();
    line->setNumPoints(static_cast<int>(unit.points.size()), false);
    for (std::size_t i = 0; i < unit.points.size(); ++i) {
      const kaldo::position& p = fleet.points[unit.points[i]].position;
      line->setPoint(static_cast<int>(i), p.longitude, p.latitude);
    }
    feature.SetGeometryDirectly(line);
  } else if (single_point_as_point_) {
    const kaldo::position& p = fleet.points[unit.points.front()].position;
    feature.SetGeometryDirectly(new OGRPoint(p.longitude, p.latitude));
  }
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
