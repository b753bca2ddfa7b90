// How a fleet is laid out in a format's layers (layer_layout): one writer
// per layout, each in a file of its own, all of one shape. A writer writes
// through the session only: into new datasets the session stages, or, for
// the layout that can add to an earlier run, into its existing dataset.
// The session's finish() then puts the result in place.
#pragma once

#include <string>

#include "tool/fleet.h"

namespace kaldo::tool {

class ogr_session;

using layout_writer = bool (*)(ogr_session& session, const fleet& fleet, std::string* error);

// positions and tracks in one dataset; the one layout that adds to the
// existing dataset of an earlier run (ogr_both_layers.cpp).
bool write_both_layers(ogr_session& session, const fleet& fleet, std::string* error);
// positions in the destination, tracks in <stem>_tracks.<ext> beside it
// (ogr_layer_per_file.cpp).
bool write_layer_per_file(ogr_session& session, const fleet& fleet, std::string* error);
// GPX: a trk per unit (ogr_gpx_tracks.cpp).
bool write_gpx_tracks(ogr_session& session, const fleet& fleet, std::string* error);
// KML: a folder per unit (ogr_kml_folders.cpp).
bool write_kml_folders(ogr_session& session, const fleet& fleet, std::string* error);

}  // namespace kaldo::tool
