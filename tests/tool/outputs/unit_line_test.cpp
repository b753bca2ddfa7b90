// A unit's line and the antimeridian: split at exactly ±180°, with the
// latitude interpolated, and nothing lost elsewhere.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tool/fleet_builder.h"
#include "tool/outputs/ogr_layers.h"
#include "tests/tool/sample_messages.h"

namespace kaldo::tool {
namespace {

using namespace testing;
using vertex = std::pair<double, double>;  // longitude, latitude
using parts = std::vector<std::vector<vertex>>;

fleet fleet_of(const std::vector<vertex>& route) {
  std::vector<std::optional<kaldo::position>> positions;
  int minute = 10;
  for (const auto& [longitude, latitude] : route) {
    positions.push_back(
        position_at("2008-05-17T12:" + std::to_string(minute++) + ":00.000Z", latitude, longitude));
  }
  fleet_builder builder;
  builder.add(message_of("300034012345670", positions), {"a.sbd", ""});
  return builder.finish();
}

parts parts_of(const OGRMultiLineString& lines) {
  parts out;
  for (const OGRLineString* line : lines) {
    out.emplace_back();
    for (const auto& p : *line) out.back().emplace_back(p.getX(), p.getY());
  }
  return out;
}

TEST(UnitLine, SplitsAtTheAntimeridianOnly) {
  const struct {
    const char* name;
    std::vector<vertex> route;
    parts expected;
  } cases[] = {
      {"a line that stays on one side is one part", {{10, 1}, {20, 2}, {-10, 3}},
       {{{10, 1}, {20, 2}, {-10, 3}}}},
      {"eastward over 180 ends at 180 and goes on from -180 at the same latitude",
       {{170, 10}, {-170, 20}}, {{{170, 10}, {180, 15}}, {{-180, 15}, {-170, 20}}}},
      {"westward over -180", {{-179, 0}, {177, 4}}, {{{-179, 0}, {-180, 1}}, {{180, 1}, {177, 4}}}},
      {"there and back makes three parts", {{179, 0}, {-179, 2}, {179, 4}},
       {{{179, 0}, {180, 1}}, {{-180, 1}, {-179, 2}, {-180, 3}}, {{180, 3}, {179, 4}}}},
      {"a point on 180 needs no vertex added", {{170, 0}, {180, 5}, {-170, 10}},
       {{{170, 0}, {180, 5}}, {{-180, 5}, {-170, 10}}}},
      {"a half turn exactly is not a crossing", {{-90, 0}, {90, 0}}, {{{-90, 0}, {90, 0}}}},
      {"repeated points stay", {{5, 5}, {5, 5}}, {{{5, 5}, {5, 5}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fleet f = fleet_of(c.route);
    ASSERT_EQ(f.units.size(), 1u);
    const auto lines = unit_line(f, f.units[0]);
    ASSERT_NE(lines, nullptr);
    EXPECT_EQ(parts_of(*lines), c.expected);
    for (const auto& part : parts_of(*lines)) {
      for (std::size_t i = 1; i < part.size(); ++i) {
        EXPECT_LE(std::abs(part[i].first - part[i - 1].first), 180.0);
      }
    }
  }
}

TEST(UnitLine, OnePointMakesNoLine) {
  const fleet f = fleet_of({{1, 2}});
  EXPECT_EQ(unit_line(f, f.units[0]), nullptr);
}

}  // namespace
}  // namespace kaldo::tool
