// KML: a folder per unit, holding its line, then its points, each unit in
// the map page's colour, emergencies in red. GDAL's LIBKML driver writes
// each placemark's time as a <TimeStamp> (a point) or <TimeSpan> (a line)
// and shares one style per unit; with --driver KML, GDAL's plain KML
// driver writes styles inline and times as placemark names and ISO 8601
// text.
#include <ogr_featurestyle.h>

#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_layout_writer.h"
#include "tool/outputs/ogr_session.h"
#include "tool/outputs/unit_palette.h"

namespace kaldo::tool {
namespace {

constexpr const char* emergency_style = "emergency";

std::string unit_style_name(std::size_t unit) { return "unit_" + std::to_string(unit); }

// GDAL's style strings: a SYMBOL without an icon (an empty id) tints the
// viewer's own point icon; the LABEL colours the point's name.
std::string style_text(rgb colour, double scale) {
  const std::string hex = hex_colour(colour);
  return "PEN(c:" + hex + ",w:3px);SYMBOL(id:\"\",c:" + hex + ",s:" + std::to_string(scale) +
         ");LABEL(c:" + hex + ")";
}

// How the placemarks of a folder are drawn: named styles of the
// dataset's style table (LIBKML shares them), or each one's own.
struct folder_styles {
  bool shared = false;
  bool time_as_text = false;
};

bool write_folder(OGRLayer& layer, const fleet& fleet, const unit_track& unit, std::size_t index,
                  folder_styles how, std::string* error) {
  // One schema per folder: the line's fields, then those of the points
  // that the line does not have.
  auto line_indices = track_field_indices(layer, kml_line_fields(), true, how.time_as_text, error);
  if (line_indices.empty()) return false;
  auto point_indices = point_field_indices(layer, kml_point_fields(), true, how.time_as_text, error);
  if (point_indices.empty()) return false;
  const rgb colour = unit_style_at(index).colour;
  // A shared style is named "@name".
  const auto named = [](std::string name) { return name.insert(0, 1, '@'); };
  const std::string style = how.shared ? named(unit_style_name(index)) : style_text(colour, 1.0);
  const std::string emergency = how.shared ? named(emergency_style) : style_text(emergency_red, 1.4);
  track_writer line(layer, kml_line_fields(), std::move(line_indices), how.time_as_text);
  line.set_style(style);
  if (unit.points.size() >= 2 && !line.write(fleet, unit, OGRNullFID, error)) return false;
  point_writer points(layer, kml_point_fields(), std::move(point_indices), how.time_as_text);
  points.set_styles(style, emergency);
  for (const std::size_t i : unit.points) {
    if (!points.write(fleet.points[i], 0, error)) return false;
  }
  return true;
}

}  // namespace

bool write_kml_folders(ogr_session& session, const fleet& fleet, std::string* error) {
  return session.write_new(
      session.path(),
      [&](GDALDataset& dataset) {
        const folder_styles how{session.output().driver == "LIBKML", session.output().time_as_text};
        if (how.shared) {
          auto* styles = new OGRStyleTable();
          for (std::size_t u = 0; u < fleet.units.size(); ++u) {
            styles->AddStyle(unit_style_name(u).c_str(),
                             style_text(unit_style_at(u).colour, 1.0).c_str());
          }
          styles->AddStyle(emergency_style, style_text(emergency_red, 1.4).c_str());
          dataset.SetStyleTableDirectly(styles);
        }
        OGRSpatialReference srs = wgs84();
        options_list folder({"FOLDER=YES"});
        for (std::size_t u = 0; u < fleet.units.size(); ++u) {
          const unit_track& unit = fleet.units[u];
          OGRLayer* layer =
              dataset.CreateLayer(unit.modem_id.c_str(), &srs, wkbUnknown, folder.get());
          if (layer == nullptr) {
            *error = gdal_error("cannot create the folder of " + unit.modem_id);
            return false;
          }
          if (!write_folder(*layer, fleet, unit, u, how, error)) return false;
        }
        return true;
      },
      error);
}

}  // namespace kaldo::tool
