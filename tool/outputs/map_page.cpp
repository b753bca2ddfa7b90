#include "tool/outputs/map_page.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "tool/outputs/map_page_assets.h"
#include "tool/outputs/unit_palette.h"
#include "tool/utc_text.h"

namespace kaldo::tool {
namespace {

using ordered_json = nlohmann::ordered_json;

constexpr std::string_view default_tiles_url =
    "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
// OpenStreetMap's tiles may be shown only with this credit.
constexpr std::string_view default_tiles_attribution =
    "&copy; <a href=\"https://www.openstreetmap.org/copyright\">OpenStreetMap</a> contributors";

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence that starts `text` at `at`, or 0 when the
// bytes there are no well-formed sequence (overlong forms, surrogates and
// code points past U+10FFFF included).
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[at + i]);
  };
  const std::size_t left = text.size() - at;
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// `text` with every byte that starts no well-formed sequence replaced by
// U+FFFD. The fleet holds UTF-8 already; this keeps a slip upstream from
// making a page that the browser reads differently from what was meant.
std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_sequence_length(text, at);
    if (length == 0) {
      out += replacement_character;
      ++at;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

std::string dump(const ordered_json& value) {
  return json_in_script(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string unit_colour(std::size_t unit) { return hex_colour(unit_style_at(unit).colour); }

// "2008-05-17 12:30:05": the legend's time ranges, to the second.
std::string legend_time(kaldo::utc_time time) {
  std::string text = utc_iso8601(time);
  text[10] = ' ';
  text.resize(19);
  return text;
}

ordered_json feature(const track_point& point, bool with_source) {
  const kaldo::position& p = point.position;
  ordered_json properties;
  properties["modem_id"] = valid_utf8(point.modem_id);
  properties["time"] = utc_iso8601(p.time);
  properties["altitude_m"] = p.altitude_m;
  properties["speed_kmh"] = p.speed_kmh;
  properties["course_deg"] = p.course_deg;
  properties["vertical_velocity_ms"] =
      p.vertical_velocity_ms ? ordered_json(*p.vertical_velocity_ms) : ordered_json(nullptr);
  properties["satellites"] = p.satellites;
  properties["fix"] = kaldo::to_string(p.fix);
  properties["emergency"] = p.emergency ? 1 : 0;
  properties["message_type"] = point.message_type;
  if (with_source) properties["source"] = valid_utf8(point.source);
  ordered_json f;
  f["type"] = "Feature";
  f["geometry"] = {{"type", "Point"}, {"coordinates", {p.longitude, p.latitude}}};
  f["properties"] = std::move(properties);
  return f;
}

// What the page's script needs besides the points: the tiles, and how the
// features split into units (they come unit after unit).
ordered_json page_config(const fleet& fleet, const map_page_options& options) {
  ordered_json config;
  if (options.tiles_url.empty()) {
    config["tiles_url"] = default_tiles_url;
    config["tiles_attribution"] = default_tiles_attribution;
  } else {
    config["tiles_url"] = valid_utf8(options.tiles_url);
    config["tiles_attribution"] = "";
  }
  ordered_json units = ordered_json::array();
  for (std::size_t u = 0; u < fleet.units.size(); ++u) {
    units.push_back({{"points", fleet.units[u].points.size()},
                     {"colour", unit_colour(u)},
                     {"dashes", unit_style_at(u).dashes}});
  }
  config["units"] = std::move(units);
  if (options.live) {
    // New units take the colours the static page would give them next.
    ordered_json palette = ordered_json::array();
    for (std::size_t u = 0; u < palette_size; ++u) {
      palette.push_back({{"colour", unit_colour(u)}, {"dashes", unit_style_at(u).dashes}});
    }
    config["palette"] = std::move(palette);
    config["live"] = {{"events_url", valid_utf8(options.live->events_url)},
                      {"last_event_id", options.live->last_event_id},
                      {"unit", valid_utf8(options.live->unit)}};
  }
  return config;
}

void write_legend(std::ostream& out, const fleet& fleet) {
  out << "<div id=\"kaldo-legend\" class=\"kaldo-legend\">\n<h1>Units</h1>\n";
  if (fleet.units.empty()) out << "<p>No positions.</p>\n";
  // Past a screenful of units, the list scrolls under these.
  out << "<div class=\"kaldo-tools\"><button type=\"button\" id=\"kaldo-show-all\">Show all"
         "</button> <button type=\"button\" id=\"kaldo-hide-all\">Hide all</button> "
         "<input type=\"search\" id=\"kaldo-filter\" placeholder=\"Filter by id\" "
         "aria-label=\"Filter units by modem id\"></div>\n<ul>\n";
  for (std::size_t u = 0; u < fleet.units.size(); ++u) {
    const unit_track& unit = fleet.units[u];
    out << "<li data-unit=\"" << u << "\"><label><input type=\"checkbox\" checked> "
        << "<span class=\"kaldo-swatch\" style=\"background:" << unit_colour(u) << "\"></span>"
        << "<span class=\"kaldo-id\">" << html_escape(unit.modem_id) << "</span></label>"
        << " <span class=\"kaldo-count\">" << unit.points.size()
        << (unit.points.size() == 1 ? " point" : " points") << "</span>";
    if (unit.emergencies > 0) {
      out << ", <span class=\"kaldo-emergencies\">" << unit.emergencies
          << (unit.emergencies == 1 ? " emergency" : " emergencies") << "</span>";
    }
    if (!unit.points.empty()) {
      const kaldo::utc_time first = fleet.points[unit.points.front()].position.time;
      const kaldo::utc_time last = fleet.points[unit.points.back()].position.time;
      out << "<br><span class=\"kaldo-range\">" << legend_time(first) << " &ndash; "
          << legend_time(last) << " UTC</span>";
    }
    out << "</li>\n";
  }
  out << "</ul>\n<p class=\"kaldo-key\"><span class=\"kaldo-key-emergency\"></span> emergency"
         " &nbsp; <span class=\"kaldo-key-last\"></span> last known position</p>\n</div>\n";
}

void write_page(std::ostream& out, const fleet& fleet, const map_page_options& options) {
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<title>Tracks of "
      << fleet.units.size() << (fleet.units.size() == 1 ? " unit" : " units") << ", "
      << fleet.points.size() << (fleet.points.size() == 1 ? " point" : " points")
      << "</title>\n<style>\n"
      << map_page_assets::leaflet_css() << "\n</style>\n<style>\n"
      << map_page_assets::page_css() << "\n</style>\n</head>\n<body>\n"
      << "<div id=\"kaldo-map\"></div>\n";
  if (options.live) out << "<div id=\"kaldo-banner\" class=\"kaldo-banner\" role=\"alert\"></div>\n";
  write_legend(out, fleet);
  out << "<script>\n" << map_page_assets::leaflet_js() << "\n</script>\n"
      << "<script type=\"application/json\" id=\"kaldo-config\">"
      << dump(page_config(fleet, options)) << "</script>\n"
      << "<script type=\"application/geo+json\" id=\"kaldo-tracks\">\n"
      << "{\"type\":\"FeatureCollection\",\"features\":[";
  bool first = true;
  for (const unit_track& unit : fleet.units) {
    for (std::size_t index : unit.points) {
      out << (first ? "\n" : ",\n") << dump(feature(fleet.points[index], options.with_source));
      first = false;
    }
  }
  out << "\n]}\n</script>\n<script>\n" << map_page_assets::page_js()
      << "\n</script>\n</body>\n</html>\n";
}

}  // namespace

std::string map_page_html(const fleet& fleet, const map_page_options& options) {
  std::ostringstream out;
  write_page(out, fleet, options);
  return std::move(out).str();
}

std::string point_feature_json(const track_point& point, bool with_source,
                               std::optional<std::int64_t> id) {
  ordered_json f = feature(point, with_source);
  if (id) f["id"] = *id;
  return dump(f);
}

std::string html_escape(std::string_view text) {
  const std::string valid = valid_utf8(text);
  std::string out;
  out.reserve(valid.size());
  for (char c : valid) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\t': case '\n': case '\r': out += c; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        // A browser reads NUL and the other controls as parse errors, some
        // as nothing at all: shown as U+FFFD, a strange id stays visible.
        if (byte < 0x20 || byte == 0x7F) {
          out += replacement_character;
        } else {
          out += c;
        }
      }
    }
  }
  return out;
}

std::string json_in_script(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  for (char c : json) {
    switch (c) {
      case '<': out += "\\u003c"; break;
      case '>': out += "\\u003e"; break;
      case '&': out += "\\u0026"; break;
      default: out += c;
    }
  }
  return out;
}

bool write_map_page(const fleet& fleet, const map_page_options& options,
                    const std::string& path, std::string* error) {
  const auto fail = [&](int code) {
    if (error) {
      *error = path + ": " + (code != 0 ? std::strerror(code) : "cannot be written");
    }
    // Only a file this call made or truncated is removed: never a device
    // or a directory that happened to be named.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ignored))) {
      std::filesystem::remove(path, ignored);
    }
    return false;
  };

  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    const int code = errno;
    if (error) *error = path + ": " + (code != 0 ? std::strerror(code) : "cannot be opened");
    return false;
  }
  write_page(out, fleet, options);
  out.flush();
  const int flush_code = errno;
  if (!out) return fail(flush_code);
  out.close();
  if (!out) return fail(errno);
  return true;
}

}  // namespace kaldo::tool
