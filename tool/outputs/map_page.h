// The map page: one self-contained HTML file that shows every unit's track
// on a map (Leaflet, inlined), for people without a GIS tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kaldo/decode.h"
#include "tool/fleet.h"

namespace kaldo::tool {

// A page that goes on showing what arrives (kaldo serve's map): it
// follows an event stream from the event it was made at.
struct live_page_options {
  std::string events_url;        // relative to the page: "events"
  std::int64_t last_event_id = 0;  // the points embedded include every event up to it
  std::string unit;              // one unit's modem id; empty: every unit
};

struct map_page_options {
  // The tile server, "{z}/{x}/{y}" style; empty: OpenStreetMap's.
  std::string tiles_url;
  // Whether each point carries its `source` (input path and attachment).
  // Off by default: a page is made to be shared.
  bool with_source = false;
  std::optional<live_page_options> live;
};

// Writes the page for `fleet` to `path`. Returns false with the reason in
// `*error` when the file cannot be written; a half-written file is removed.
//
// The page holds the points as GeoJSON in
// <script type="application/geo+json" id="kaldo-tracks">: one Point feature
// a point, unit after unit in the order of `fleet.units`, each unit's in
// time order, with the fields of the positions layer. Every point is drawn
// (on one canvas, none thinned out), so a page stays whole however many
// points it has.
bool write_map_page(const fleet& fleet, const map_page_options& options,
                    const std::string& path, std::string* error);

// The page as write_map_page writes it.
std::string map_page_html(const fleet& fleet, const map_page_options& options);

// The pieces the page is made of, each usable on its own.

// One point as the page's GeoJSON Feature, with the fields of the
// positions layer (and `id` when given), safe inside a <script> element.
std::string point_feature_json(const track_point& point, bool with_source,
                               std::optional<std::int64_t> id = std::nullopt);

// `text` as HTML text or as a quoted attribute value: & < > " ' become
// character references; bytes that are not UTF-8, and control characters
// but tab, line feed and carriage return, become U+FFFD.
std::string html_escape(std::string_view text);

// `json` (a JSON text) made safe as the content of a <script> element:
// every < > & becomes \u003c \u003e \u0026. JSON has these characters only
// inside strings, so the value stays the same, and no "</script" or "<!--"
// can end the element early.
std::string json_in_script(std::string_view json);

}  // namespace kaldo::tool
