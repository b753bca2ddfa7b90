#include "tests/tool/layer_reading.h"

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "tool/utc_text.h"

namespace kaldo::tool::testing {
namespace {

using namespace std::chrono;

int find_field(const OGRFeatureDefn& definition, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const std::string full = name;
    for (const std::string& candidate : {full, "ogr_" + full, full.substr(0, 10)}) {
      const int index = definition.GetFieldIndex(candidate.c_str());
      if (index >= 0) return index;
    }
  }
  return -1;
}

std::optional<kaldo::utc_time> time_of(OGRFeature& feature, int index) {
  if (index < 0 || !feature.IsFieldSetAndNotNull(index)) return std::nullopt;
  if (feature.GetFieldDefnRef(index)->GetType() == OFTString) {
    return parse_iso8601(feature.GetFieldAsString(index));
  }
  int y, m, d, h, mi, tz;
  float s;
  if (!feature.GetFieldAsDateTime(index, &y, &m, &d, &h, &mi, &s, &tz)) return std::nullopt;
  return sys_days{year_month_day{year{y}, month{unsigned(m)}, day{unsigned(d)}}} + hours{h} +
         minutes{mi} + milliseconds{std::lround(double(s) * 1000)};
}

std::optional<double> real_of(OGRFeature& feature, int index) {
  if (index < 0 || !feature.IsFieldSetAndNotNull(index)) return std::nullopt;
  return feature.GetFieldAsDouble(index);
}

std::optional<long long> integer_of(OGRFeature& feature, int index) {
  if (index < 0 || !feature.IsFieldSetAndNotNull(index)) return std::nullopt;
  return feature.GetFieldAsInteger64(index);
}

std::optional<std::string> text_of(OGRFeature& feature, int index) {
  if (index < 0 || !feature.IsFieldSetAndNotNull(index)) return std::nullopt;
  return std::string(feature.GetFieldAsString(index));
}

std::unique_ptr<GDALDataset> open(const std::string& path) {
  GDALAllRegister();
  // CSV has no null: an empty cell is one. Its points are in X and Y, its
  // lines in WKT.
  const char* csv_options[] = {"EMPTY_STRING_AS_NULL=YES", "X_POSSIBLE_NAMES=X",
                               "Y_POSSIBLE_NAMES=Y", "KEEP_GEOM_COLUMNS=NO", nullptr};
  const bool csv = path.size() > 4 && path.substr(path.size() - 4) == ".csv";
  std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(
      path.c_str(), GDAL_OF_VECTOR, nullptr, csv ? csv_options : nullptr, nullptr));
  EXPECT_NE(dataset, nullptr) << "GDAL cannot open " << path << ": " << CPLGetLastErrorMsg();
  return dataset;
}

std::vector<OGRLayer*> layers_of(GDALDataset& dataset, const std::string& name) {
  std::vector<OGRLayer*> layers;
  if (!name.empty()) {
    OGRLayer* layer = dataset.GetLayerByName(name.c_str());
    EXPECT_NE(layer, nullptr) << "no layer " << name;
    if (layer != nullptr) layers.push_back(layer);
    return layers;
  }
  for (int i = 0; i < dataset.GetLayerCount(); ++i) layers.push_back(dataset.GetLayer(i));
  return layers;
}

}  // namespace

std::vector<read_point> read_points(const std::string& path, const std::string& name) {
  std::vector<read_point> points;
  const auto dataset = open(path);
  if (dataset == nullptr) return points;
  for (OGRLayer* layer : layers_of(*dataset, name)) {
    const OGRFeatureDefn& d = *layer->GetLayerDefn();
    // GPX keeps the modem id in <src> and satellites in <sat>.
    const int id = find_field(d, {"modem_id", "src"}), time = find_field(d, {"time", "timestamp"}),
              altitude = find_field(d, {"altitude_m", "ele"}), speed = find_field(d, {"speed_kmh"}),
              course = find_field(d, {"course_deg"}),
              vertical = find_field(d, {"vertical_velocity_ms"}),
              satellites = find_field(d, {"satellites", "sat"}), fix = find_field(d, {"fix_state", "fix"}),
              emergency = find_field(d, {"emergency"}), type = find_field(d, {"message_type"}),
              source = find_field(d, {"source"});
    layer->ResetReading();
    for (auto& feature : *layer) {
      const OGRGeometry* geometry = feature->GetGeometryRef();
      if (geometry == nullptr || wkbFlatten(geometry->getGeometryType()) != wkbPoint) continue;
      const auto* point = geometry->toPoint();
      read_point p;
      p.modem_id = id >= 0 ? feature->GetFieldAsString(id) : layer->GetName();
      p.time = time_of(*feature, time);
      p.longitude = point->getX();
      p.latitude = point->getY();
      p.altitude_m = real_of(*feature, altitude);
      p.speed_kmh = real_of(*feature, speed);
      p.course_deg = real_of(*feature, course);
      p.vertical_velocity_ms = real_of(*feature, vertical);
      p.satellites = integer_of(*feature, satellites);
      p.fix = text_of(*feature, fix);
      p.emergency = integer_of(*feature, emergency);
      p.message_type = integer_of(*feature, type);
      p.source = text_of(*feature, source);
      p.fid = feature->GetFID();
      points.push_back(std::move(p));
    }
  }
  return points;
}

std::vector<read_track> read_tracks(const std::string& path, const std::string& name,
                                    bool skip_points) {
  std::vector<read_track> tracks;
  const auto dataset = open(path);
  if (dataset == nullptr) return tracks;
  for (OGRLayer* layer : layers_of(*dataset, name)) {
    const OGRFeatureDefn& d = *layer->GetLayerDefn();
    // GPX names its tracks in `name`.
    const int id = find_field(d, {"modem_id", "name"}), first = find_field(d, {"first_time", "begin"}),
              last = find_field(d, {"last_time", "end"}), count = find_field(d, {"points"});
    layer->ResetReading();
    for (auto& feature : *layer) {
      const OGRGeometry* geometry = feature->GetGeometryRef();
      const bool point = geometry != nullptr && wkbFlatten(geometry->getGeometryType()) == wkbPoint;
      if (point && skip_points) continue;
      read_track t;
      t.modem_id = id >= 0 ? feature->GetFieldAsString(id) : layer->GetName();
      t.first_time = time_of(*feature, first);
      t.last_time = time_of(*feature, last);
      t.points = integer_of(*feature, count);
      t.fid = feature->GetFID();
      const auto add = [&](const OGRLineString& line) {
        ++t.parts;
        for (const auto& vertex : line) t.line.emplace_back(vertex.getX(), vertex.getY());
      };
      if (geometry != nullptr && wkbFlatten(geometry->getGeometryType()) == wkbMultiLineString) {
        t.multi = true;
        for (const OGRLineString* line : *geometry->toMultiLineString()) add(*line);
      } else if (geometry != nullptr &&
                 wkbFlatten(geometry->getGeometryType()) == wkbLineString) {
        add(*geometry->toLineString());
      }
      tracks.push_back(std::move(t));
    }
  }
  std::sort(tracks.begin(), tracks.end(),
            [](const read_track& a, const read_track& b) { return a.modem_id < b.modem_id; });
  return tracks;
}

void sort_points(std::vector<read_point>& points) {
  std::stable_sort(points.begin(), points.end(), [](const read_point& a, const read_point& b) {
    return std::tie(a.modem_id, a.time, a.latitude) < std::tie(b.modem_id, b.time, b.latitude);
  });
}

std::vector<read_point> expected_points(const fleet& fleet) {
  std::vector<read_point> points;
  for (const track_point& tp : fleet.points) {
    const kaldo::position& p = tp.position;
    read_point r;
    r.modem_id = tp.modem_id;
    r.time = p.time;
    r.latitude = p.latitude;
    r.longitude = p.longitude;
    r.altitude_m = p.altitude_m;
    r.speed_kmh = p.speed_kmh;
    r.course_deg = p.course_deg;
    r.vertical_velocity_ms = p.vertical_velocity_ms;
    r.satellites = p.satellites;
    r.fix = kaldo::to_string(p.fix);
    r.emergency = p.emergency ? 1 : 0;
    r.message_type = tp.message_type;
    r.source = tp.source;
    points.push_back(std::move(r));
  }
  sort_points(points);
  return points;
}

void expect_same_points(const std::vector<read_point>& expected,
                        const std::vector<read_point>& actual_unsorted, double tolerance) {
  std::vector<read_point> actual = actual_unsorted;
  sort_points(actual);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const read_point& e = expected[i];
    const read_point& a = actual[i];
    SCOPED_TRACE("point " + std::to_string(i) + " of " + e.modem_id + " at " +
                 (e.time ? utc_iso8601(*e.time) : "?"));
    EXPECT_EQ(a.modem_id, e.modem_id);
    ASSERT_TRUE(a.time.has_value());
    EXPECT_EQ(*a.time, *e.time);
    EXPECT_NEAR(a.latitude, e.latitude, tolerance);
    EXPECT_NEAR(a.longitude, e.longitude, tolerance);
    if (tolerance == 0) {
      EXPECT_EQ(a.latitude, e.latitude);
      EXPECT_EQ(a.longitude, e.longitude);
    }
    // A field the format has is compared; GPX and KML lack none of ours.
    if (a.altitude_m) {
      EXPECT_DOUBLE_EQ(*a.altitude_m, *e.altitude_m);
    }
    if (a.speed_kmh) {
      EXPECT_DOUBLE_EQ(*a.speed_kmh, *e.speed_kmh);
    }
    if (a.course_deg) {
      EXPECT_DOUBLE_EQ(*a.course_deg, *e.course_deg);
    }
    EXPECT_EQ(a.vertical_velocity_ms.has_value(), e.vertical_velocity_ms.has_value());
    if (a.vertical_velocity_ms && e.vertical_velocity_ms) {
      EXPECT_DOUBLE_EQ(*a.vertical_velocity_ms, *e.vertical_velocity_ms);
    }
    EXPECT_EQ(a.satellites, e.satellites);
    EXPECT_EQ(a.fix, e.fix);
    EXPECT_EQ(a.emergency, e.emergency);
    EXPECT_EQ(a.message_type, e.message_type);
    EXPECT_EQ(a.source, e.source);
  }
}

std::vector<std::string> files_in(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kaldo::tool::testing
