// Styles a GIS applies when it opens our layers: rows of a `layer_styles`
// table beside them, the convention QGIS reads (and writes) in a
// GeoPackage and in a PostgreSQL database. One style named "kaldo" a
// layer: `positions` by modem id in the units' colours (unit_palette.h),
// emergencies drawn over them in red; `tracks` by modem id in the same
// colours and dash patterns.
#pragma once

#include <gdal_priv.h>

#include <string>

#include "tool/fleet.h"

namespace kaldo::tool {

// The name of our rows in layer_styles; rows of other names are the user's.
inline constexpr const char* style_name = "kaldo";

// The styles as QGIS's QML text.
std::string positions_style(const fleet& fleet);
std::string tracks_style(const fleet& fleet);

// Writes or updates the "kaldo" style of both layers, creating the table
// when `dataset` has none. A style is the default one only where the user
// made no other style of that layer the default. `postgres` selects the
// catalog and schema columns QGIS fills for a database. False with the
// reason in `*error`.
bool write_layer_styles(GDALDataset& dataset, bool postgres, const fleet& fleet,
                        std::string* error);

}  // namespace kaldo::tool
