#include "tool/outputs/map_page.h"

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/test_support.h"

using namespace std::chrono;
using kaldo::tool::fleet;
using kaldo::tool::html_escape;
using kaldo::tool::json_in_script;
using kaldo::tool::map_page_options;
using kaldo::tool::write_map_page;

namespace {

const std::string fffd = "\xEF\xBF\xBD";

struct text_row {
  const char* name;
  std::string in;
  std::string want;
};

TEST(HtmlEscape, LeavesTextThatCannotBeReadAsMarkup) {
  const text_row rows[] = {
      {"a plain modem id stays", "300034012345670", "300034012345670"},
      {"a closing script tag becomes text", "</script><b>", "&lt;/script&gt;&lt;b&gt;"},
      {"quotes cannot end an attribute value", "a\"b'c", "a&quot;b&#39;c"},
      {"an entity is shown as typed", "&amp;", "&amp;amp;"},
      {"UTF-8 letters stay", "\xC3\xBF\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xBF\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a Latin-1 byte that is no UTF-8 becomes U+FFFD", "id\xFF", "id" + fffd},
      {"a sequence cut short becomes U+FFFD a byte", "a\xE2\x82", "a" + fffd + fffd},
      {"an overlong slash is refused", "\xC0\xAF", fffd + fffd},
      {"a surrogate is refused", "\xED\xA0\x80", fffd + fffd + fffd},
      {"a code point past U+10FFFF is refused", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"tab, line feed and carriage return stay", "a\tb\nc\rd", "a\tb\nc\rd"},
      {"other controls become U+FFFD", std::string("a\0b\x01" "c\x7F", 6),
       "a" + fffd + "b" + fffd + "c" + fffd},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(html_escape(row.in), row.want) << row.name;
  }
}

TEST(JsonInScript, NothingCanEndTheScriptElementAndTheValueStaysTheSame) {
  const text_row rows[] = {
      {"a closing script tag", R"({"id":"</script><script>x()</script>"})",
       R"({"id":"\u003c/script\u003e\u003cscript\u003ex()\u003c/script\u003e"})"},
      {"a comment opener", R"(["<!--<script>"])", R"(["\u003c!--\u003cscript\u003e"])"},
      {"an ampersand", R"({"a":"&amp;"})", R"({"a":"\u0026amp;"})"},
      {"numbers and structure untouched", R"({"a":[1.5,null,true]})", R"({"a":[1.5,null,true]})"},
  };
  for (const auto& row : rows) {
    const std::string safe = json_in_script(row.in);
    EXPECT_EQ(safe, row.want) << row.name;
    EXPECT_EQ(nlohmann::json::parse(safe), nlohmann::json::parse(row.in)) << row.name;
  }
}

// A fleet of two units: a packed-layout one with an emergency and vertical
// velocity, and one whose modem id holds markup and a byte that is no UTF-8.
// Points are in the order first seen, which is not the units' order.
const std::string hostile_id = "</script><!--<script>\"'&\xFF";

fleet two_units() {
  fleet f;
  const sys_days day = 2008y / May / 17;
  kaldo::tool::track_point a;
  a.modem_id = "300034012345670";
  a.message_type = 3;
  a.source = "in/300034012345670_1.sbd";
  a.position = {kaldo::utc_time(day + 12h + 30min + 5s + 250ms),
                kaldo::time_precision::hundredths, 33.7520567, -117.8353900, 123.4, 12.3, 45.6,
                -1.25, 9, kaldo::fix_state::fix_3d, true};
  kaldo::tool::track_point b = a;
  b.position.time += 10min;
  b.position.latitude = 33.76;
  b.position.vertical_velocity_ms.reset();
  b.position.fix = kaldo::fix_state::dead_reckoning;
  b.position.emergency = false;
  b.source = "in/300034012345670_2.sbd";
  kaldo::tool::track_point h;
  h.modem_id = hostile_id;
  h.message_type = 1;
  h.source = "in/mail.eml (</script>.sbd)";
  h.position = {kaldo::utc_time(day + 12h), kaldo::time_precision::milliseconds, -12.5, 130.25,
                0, 0, 0, std::nullopt, 4, kaldo::fix_state::invalid, false};
  f.points = {h, b, a};
  // Ordered by modem id: '3' comes before '<'.
  f.units = {{"300034012345670", {2, 1}, 1}, {hostile_id, {0}, 0}};
  return f;
}

std::string written_page(const fleet& f, const map_page_options& options = {}) {
  temp_dir dir;
  const std::string path = dir.path() + "/fleet.html";
  std::string error;
  EXPECT_TRUE(write_map_page(f, options, path, &error)) << error;
  return read_file(path);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The text of the element that opens with `open`, up to its "</script>".
std::string element_text(const std::string& page, const std::string& open) {
  const auto start = page.find(open);
  if (start == std::string::npos) return {};
  const auto from = start + open.size();
  return page.substr(from, page.find("</script>", from) - from);
}

nlohmann::json geojson(const std::string& page) {
  return nlohmann::json::parse(
      element_text(page, "<script type=\"application/geo+json\" id=\"kaldo-tracks\">"));
}

TEST(WriteMapPage, HostileModemIdsNeitherEndAnElementNorBecomeMarkup) {
  const std::string page = written_page(two_units(), {.tiles_url = "", .with_source = true, .live = {}});
  // Leaflet, the configuration, the tracks and the page's script: every
  // element opened is closed once, by its own tag.
  EXPECT_EQ(count(page, "<script"), 4u);
  EXPECT_EQ(count(page, "</script"), 4u);
  EXPECT_EQ(count(page, "<!--"), 0u);
  EXPECT_EQ(page.find("\xFF"), std::string::npos) << "a byte that is no UTF-8 reached the page";
  EXPECT_NE(page.find("<span class=\"kaldo-id\">&lt;/script&gt;&lt;!--&lt;script&gt;&quot;&#39;&amp;" +
                      fffd + "</span>"),
            std::string::npos);
}

TEST(WriteMapPage, GeoJsonHoldsEveryPointUnitAfterUnitInTimeOrder) {
  const nlohmann::json tracks = geojson(written_page(two_units()));
  ASSERT_EQ(tracks["type"], "FeatureCollection");
  const auto& features = tracks["features"];
  ASSERT_EQ(features.size(), 3u);

  const auto want = nlohmann::json::parse(R"([
    {"type":"Feature","geometry":{"type":"Point","coordinates":[-117.83539,33.7520567]},
     "properties":{"modem_id":"300034012345670","time":"2008-05-17T12:30:05.250Z",
       "altitude_m":123.4,"speed_kmh":12.3,"course_deg":45.6,"vertical_velocity_ms":-1.25,
       "satellites":9,"fix":"3d","emergency":1,"message_type":3}},
    {"type":"Feature","geometry":{"type":"Point","coordinates":[-117.83539,33.76]},
     "properties":{"modem_id":"300034012345670","time":"2008-05-17T12:40:05.250Z",
       "altitude_m":123.4,"speed_kmh":12.3,"course_deg":45.6,"vertical_velocity_ms":null,
       "satellites":9,"fix":"dead_reckoning","emergency":0,"message_type":3}},
    {"type":"Feature","geometry":{"type":"Point","coordinates":[130.25,-12.5]},
     "properties":{"modem_id":"</script><!--<script>\"'&\uFFFD","time":"2008-05-17T12:00:00.000Z",
       "altitude_m":0.0,"speed_kmh":0.0,"course_deg":0.0,"vertical_velocity_ms":null,
       "satellites":4,"fix":"invalid","emergency":0,"message_type":1}}
  ])");
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(features[i], want[i]) << "feature " << i;
  }
}

TEST(WriteMapPage, FieldsComeInTheLayersOrderAndSourceOnlyWhenAskedFor) {
  const std::vector<std::string> fields = {
      "modem_id", "time", "altitude_m", "speed_kmh", "course_deg", "vertical_velocity_ms",
      "satellites", "fix", "emergency", "message_type"};
  // Keys in the order written: the page is read by people too.
  const auto names = [](const nlohmann::ordered_json& properties) {
    std::vector<std::string> out;
    for (const auto& item : properties.items()) out.push_back(item.key());
    return out;
  };
  const std::string without = written_page(two_units());
  const auto first_properties = [](const std::string& page) {
    const std::string text =
        element_text(page, "<script type=\"application/geo+json\" id=\"kaldo-tracks\">");
    return nlohmann::ordered_json::parse(text)["features"][0]["properties"];
  };
  EXPECT_EQ(names(first_properties(without)), fields);

  std::vector<std::string> with_source = fields;
  with_source.push_back("source");
  const std::string with = written_page(two_units(), {.tiles_url = "", .with_source = true, .live = {}});
  EXPECT_EQ(names(first_properties(with)), with_source);
  EXPECT_EQ(first_properties(with)["source"], "in/300034012345670_1.sbd");
  EXPECT_EQ(geojson(with)["features"][2]["properties"]["source"], "in/mail.eml (</script>.sbd)");
  EXPECT_EQ(without.find("in/300034012345670_1.sbd"), std::string::npos);
}

TEST(WriteMapPage, LegendCountsPointsAndEmergenciesAndSpansTheUnitsTime) {
  const std::string page = written_page(two_units());
  EXPECT_NE(page.find("<span class=\"kaldo-count\">2 points</span>, "
                      "<span class=\"kaldo-emergencies\">1 emergency</span>"
                      "<br><span class=\"kaldo-range\">2008-05-17 12:30:05 &ndash; "
                      "2008-05-17 12:40:05 UTC</span>"),
            std::string::npos);
  EXPECT_NE(page.find("<span class=\"kaldo-count\">1 point</span><br>"
                      "<span class=\"kaldo-range\">2008-05-17 12:00:00 &ndash; "
                      "2008-05-17 12:00:00 UTC</span>"),
            std::string::npos);
  EXPECT_NE(page.find("<title>Tracks of 2 units, 3 points</title>"), std::string::npos);
}

TEST(WriteMapPage, AnEmptyFleetGivesAPageThatSaysSo) {
  const std::string page = written_page(fleet{});
  EXPECT_EQ(geojson(page)["features"], nlohmann::json::array());
  EXPECT_NE(page.find("<p>No positions.</p>"), std::string::npos);
}

TEST(WriteMapPage, SaysWhyWhenThePathCannotBeWritten) {
  temp_dir dir;
  std::string error;
  const std::string missing = dir.path() + "/no/such/dir/fleet.html";
  EXPECT_FALSE(write_map_page(two_units(), {}, missing, &error));
  EXPECT_EQ(error, missing + ": No such file or directory");

  // A directory by the name is neither written nor removed.
  const std::string directory = dir.path() + "/taken";
  std::filesystem::create_directory(directory);
  EXPECT_FALSE(write_map_page(two_units(), {}, directory, &error));
  EXPECT_EQ(error, directory + ": Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(directory));
}

TEST(WriteMapPage, RemovesAHalfWrittenPage) {
  temp_dir dir;
  const std::string path = dir.path() + "/fleet.html";
  // Leaflet alone is larger than this, so the write fails midway.
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit small = old_limit;
  small.rlim_cur = 64 * 1024;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  const bool written = write_map_page(two_units(), {}, path, &error);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(written);
  EXPECT_EQ(error, path + ": File too large");
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
