// The lines `kaldo tracks` adds to the summary.
#include "tool/tracks_summary.h"

#include <gtest/gtest.h>

#include "tests/tool/sample_messages.h"

namespace kaldo::tool {
namespace {

using testing::message_of;
using testing::position_at;

struct summary_case {
  const char* name;
  std::vector<kaldo::decoded_message> messages;
  const char* destination;
  bool appended;
  bool valid_only;
  const char* expected;
};

const auto noon = position_at("2008-05-17T12:00:00.000Z", 33.5, -117.5);
const auto noon_elsewhere = position_at("2008-05-17T12:00:00.000Z", 33.6, -117.5);
const auto sos = position_at("2008-05-17T13:00:00.000Z", 33.7, -117.4,
                             kaldo::fix_state::none, true);

class TracksSummary : public ::testing::TestWithParam<summary_case> {};

TEST_P(TracksSummary, TellsWhatBecameOfTheReports) {
  const summary_case& c = GetParam();
  const tracks_outcome outcome{c.destination, c.appended, c.valid_only};
  fleet_builder builder(c.valid_only);
  for (const auto& message : c.messages) builder.add(message, {"in.sbd", ""});
  const fleet result = builder.finish();
  const fleet_counts counts = builder.counts();
  EXPECT_EQ(tracks_summary_text(counts, result, outcome), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    , TracksSummary,
    ::testing::Values(
        summary_case{"nothing_found", {}, "fleet.gpkg", false, false,
                     "Reports: 0, 0 new points, 0 already seen\n"
                     "Units: 0; emergency reports: none\n"
                     "Written anew: fleet.gpkg (0 points)\n"},
        summary_case{"duplicates_and_a_conflict",
                     {message_of("1", {noon, noon_elsewhere}), message_of("1", {noon})},
                     "fleet.gpkg", true, false,
                     "Reports: 3, 2 new points, 1 already seen\n"
                     "1 conflict: a unit at one instant in two places, both kept\n"
                     "Units: 1; emergency reports: none\n"
                     "Added to fleet.gpkg, which kept its 0 earlier points\n"},
        summary_case{"emergencies_of_each_unit_that_had_any",
                     {message_of("1", {sos}), message_of("2", {noon}),
                      message_of("", {sos, noon})},
                     "fleet.geojson", false, false,
                     "Reports: 4, 4 new points, 0 already seen\n"
                     "Units: 3; emergency reports: 1 1, No ModemID 1\n"
                     "Written anew: fleet.geojson (4 points)\n"},
        summary_case{"valid_only_and_reports_without_a_position",
                     {message_of("1", {sos, std::nullopt, noon})},
                     "caf\xE9.gpx", false, true,
                     "Reports: 3, 1 new point, 0 already seen\n"
                     "1 report without a real time or position, left out\n"
                     "1 report without a valid fix, left out (--valid-only)\n"
                     "Units: 1; emergency reports: none\n"
                     "Written anew: caf\xEF\xBF\xBD.gpx (1 point)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kaldo::tool
