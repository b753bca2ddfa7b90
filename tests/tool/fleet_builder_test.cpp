// The fleet of a run: which reports become points, and what is counted.
#include "tool/fleet_builder.h"

#include <gtest/gtest.h>

#include <map>

#include "tool/utc_text.h"
#include "tests/tool/sample_messages.h"

namespace kaldo::tool {
namespace {

using kaldo::fix_state;
using testing::message_of;
using testing::position_at;

const auto noon = position_at("2008-05-17T12:00:00.000Z", 33.5, -117.5);
const auto noon_elsewhere = position_at("2008-05-17T12:00:00.000Z", 33.6, -117.5);
const auto one_pm = position_at("2008-05-17T13:00:00.000Z", 33.7, -117.4);

kaldo::position with_fix(kaldo::position p, fix_state fix, int minute) {
  p.fix = fix;
  p.time += std::chrono::minutes(minute);
  return p;
}

kaldo::position with_emergency(kaldo::position p) {
  p.emergency = true;
  return p;
}

kaldo::position at_place(kaldo::position p, double latitude, double longitude) {
  p.latitude = latitude;
  p.longitude = longitude;
  return p;
}

kaldo::decoded_message failed_message() {
  auto message = message_of("300034012345670", {noon});
  message.result = kaldo::outcome::failed;
  message.error = "Invalid Length";
  return message;
}

struct builder_case {
  const char* name;
  std::vector<kaldo::decoded_message> messages;
  bool valid_only;
  std::map<std::string, std::size_t> points_per_unit;
  fleet_counts counts;  // `reports`, `added`, `duplicates`, `conflicts`, ...
  std::map<std::string, std::size_t> emergencies_per_unit;
};

std::vector<builder_case> builder_cases() {
  return {
      {"no input gives an empty fleet", {}, false, {}, {}, {}},
      {"a report re-sent in a later message is one point",
       {message_of("1", {noon}), message_of("1", {noon, one_pm})},
       false, {{"1", 2}}, {.reports = 3, .added = 2, .duplicates = 1}, {{"1", 0}}},
      {"an e-mail delivered twice adds nothing the second time",
       {message_of("1", {noon, one_pm}), message_of("1", {noon, one_pm})},
       false, {{"1", 2}}, {.reports = 4, .added = 2, .duplicates = 2}, {{"1", 0}}},
      {"two positions of one unit at one instant are both kept as a conflict",
       {message_of("1", {noon, noon_elsewhere})},
       false, {{"1", 2}}, {.reports = 2, .added = 2, .conflicts = 1}, {{"1", 0}}},
      {"the same instant and place of two units is a point of each",
       {message_of("1", {noon}), message_of("2", {noon})},
       false, {{"1", 1}, {"2", 1}}, {.reports = 2, .added = 2}, {{"1", 0}, {"2", 0}}},
      {"valid-only keeps 2d, 3d and valid fixes",
       {message_of("1", {with_fix(noon, fix_state::none, 0), with_fix(noon, fix_state::fix_2d, 1),
                         with_fix(noon, fix_state::fix_3d, 2),
                         with_fix(noon, fix_state::dead_reckoning, 3),
                         with_fix(noon, fix_state::valid, 4),
                         with_fix(noon, fix_state::invalid, 5)})},
       true, {{"1", 3}}, {.reports = 6, .added = 3, .not_valid_fix = 3}, {{"1", 0}}},
      {"without valid-only every fix is kept",
       {message_of("1", {with_fix(noon, fix_state::none, 0),
                         with_fix(noon, fix_state::invalid, 5)})},
       false, {{"1", 2}}, {.reports = 2, .added = 2}, {{"1", 0}}},
      {"reports without a real position are counted, not kept",
       {message_of("1", {std::nullopt, noon, std::nullopt})},
       false, {{"1", 1}}, {.reports = 3, .added = 1, .without_position = 2}, {{"1", 0}}},
      {"a unit whose only reports were left out has no track",
       {message_of("1", {std::nullopt}), message_of("2", {noon})},
       false, {{"2", 1}}, {.reports = 2, .added = 1, .without_position = 1}, {{"2", 0}}},
      {"a message that failed adds nothing",
       {failed_message()}, false, {}, {}, {}},
      {"emergencies are counted per unit, once per distinct report",
       {message_of("1", {with_emergency(noon), with_emergency(one_pm)}),
        message_of("1", {with_emergency(noon)}), message_of("2", {noon})},
       false, {{"1", 2}, {"2", 1}}, {.reports = 4, .added = 3, .duplicates = 1},
       {{"1", 2}, {"2", 0}}},
      {"south of the equator at 0.0 and -0.0 of longitude is one place",
       {message_of("1", {at_place(noon, -1, 0.0), at_place(noon, -1, -0.0)})},
       false, {{"1", 1}}, {.reports = 2, .added = 1, .duplicates = 1}, {{"1", 0}}},
  };
}

class FleetBuilderCases : public ::testing::TestWithParam<builder_case> {};

TEST_P(FleetBuilderCases, KeepsDistinctReportsAndCountsTheRest) {
  const builder_case& c = GetParam();
  fleet_builder builder(c.valid_only);
  for (const auto& message : c.messages) builder.add(message, {"in.sbd", ""});
  const fleet result = builder.finish();
  const fleet_counts counts = builder.counts();

  std::map<std::string, std::size_t> points, emergencies;
  for (const unit_track& unit : result.units) {
    points[unit.modem_id] = unit.points.size();
    emergencies[unit.modem_id] = unit.emergencies;
  }
  EXPECT_EQ(points, c.points_per_unit);
  EXPECT_EQ(emergencies, c.emergencies_per_unit);
  EXPECT_EQ(counts.reports, c.counts.reports);
  EXPECT_EQ(counts.added, c.counts.added);
  EXPECT_EQ(counts.duplicates, c.counts.duplicates);
  EXPECT_EQ(counts.conflicts, c.counts.conflicts);
  EXPECT_EQ(counts.not_valid_fix, c.counts.not_valid_fix);
  EXPECT_EQ(counts.without_position, c.counts.without_position);
  EXPECT_EQ(result.points.size(), c.counts.added);
}

INSTANTIATE_TEST_SUITE_P(, FleetBuilderCases, ::testing::ValuesIn(builder_cases()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(FleetBuilder, OrdersUnitsByIdAndPointsByTime) {
  fleet_builder builder;
  builder.add(message_of("2", {one_pm, noon}), {"a.sbd", ""});
  builder.add(message_of("1", {one_pm}), {"b.sbd", ""});
  builder.add(message_of("1", {noon}), {"c.sbd", ""});
  const fleet result = builder.finish();
  ASSERT_EQ(result.units.size(), 2u);
  EXPECT_EQ(result.units[0].modem_id, "1");
  EXPECT_EQ(result.units[1].modem_id, "2");
  for (const unit_track& unit : result.units) {
    ASSERT_EQ(unit.points.size(), 2u) << unit.modem_id;
    EXPECT_EQ(utc_iso8601(result.points[unit.points[0]].position.time), "2008-05-17T12:00:00.000Z");
    EXPECT_EQ(utc_iso8601(result.points[unit.points[1]].position.time), "2008-05-17T13:00:00.000Z");
  }
}

TEST(FleetBuilder, KeepsConflictingPointsOfOneInstantInTheOrderSeen) {
  fleet_builder builder;
  builder.add(message_of("1", {one_pm, noon_elsewhere}), {"a.sbd", ""});
  builder.add(message_of("1", {noon}), {"b.sbd", ""});
  const fleet result = builder.finish();
  ASSERT_EQ(result.units.size(), 1u);
  const auto& order = result.units[0].points;
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(result.points[order[0]].position.latitude, noon_elsewhere.latitude);
  EXPECT_EQ(result.points[order[1]].position.latitude, noon.latitude);
  EXPECT_EQ(result.points[order[2]].position.latitude, one_pm.latitude);
}

TEST(FleetBuilder, WritesLatin1IdsAndPathsAsUtf8) {
  fleet_builder builder;
  builder.add(message_of("12\xE9\xFF", {noon}), {"/in/caf\xE9.eml", "r\xE9sum\xE9.sbd"});
  builder.add(message_of("", {noon}), {"/in/\xC3\xA9t\xC3\xA9.sbd", ""});
  const fleet result = builder.finish();
  ASSERT_EQ(result.units.size(), 2u);
  EXPECT_EQ(result.units[0].modem_id, "12\xC3\xA9\xC3\xBF");
  EXPECT_EQ(result.units[1].modem_id, "No ModemID");
  const track_point& latin1 = result.points[result.units[0].points[0]];
  EXPECT_EQ(latin1.modem_id, "12\xC3\xA9\xC3\xBF");
  EXPECT_EQ(latin1.source, "/in/caf\xEF\xBF\xBD.eml: r\xEF\xBF\xBDsum\xEF\xBF\xBD.sbd");
  EXPECT_EQ(result.points[result.units[1].points[0]].source, "/in/\xC3\xA9t\xC3\xA9.sbd");
}

TEST(FleetBuilder, KeepsTheSourceAndTypeOfTheFirstMessageAPointWasIn) {
  fleet_builder builder;
  builder.add(message_of("1", {noon}, 103), {"first.sbd", ""});
  builder.add(message_of("1", {noon}, 3), {"second.sbd", ""});
  const fleet result = builder.finish();
  ASSERT_EQ(result.points.size(), 1u);
  EXPECT_EQ(result.points[0].source, "first.sbd");
  EXPECT_EQ(result.points[0].message_type, 103);
}

TEST(FleetBuilder, StoredPointsCountForTheLineButChangeNothingAgain) {
  fleet_builder builder;
  track_point stored;
  stored.modem_id = "1";
  stored.position = noon;
  builder.add_stored(stored);
  track_point other;
  other.modem_id = "2";
  other.position = noon;
  builder.add_stored(other);
  builder.add(message_of("1", {noon, one_pm}), {"a.sbd", ""});
  builder.add(message_of("2", {noon}), {"a.sbd", ""});
  const fleet_counts counts = builder.counts();
  const fleet result = builder.finish();

  EXPECT_EQ(counts.stored, 2u);
  EXPECT_EQ(counts.added, 1u);
  EXPECT_EQ(counts.duplicates, 2u);
  ASSERT_EQ(result.units.size(), 2u);
  EXPECT_TRUE(result.units[0].changed);
  EXPECT_EQ(result.units[0].points.size(), 2u);
  EXPECT_TRUE(result.points[result.units[0].points[0]].stored);
  EXPECT_FALSE(result.points[result.units[0].points[1]].stored);
  EXPECT_FALSE(result.units[1].changed);
}

TEST(FleetBuilder, AStoredPointAtTheInstantOfANewOneElsewhereIsAConflict) {
  fleet_builder builder;
  track_point stored;
  stored.modem_id = "1";
  stored.position = noon;
  builder.add_stored(stored);
  builder.add(message_of("1", {noon_elsewhere}), {"a.sbd", ""});
  builder.finish();
  EXPECT_EQ(builder.counts().conflicts, 1u);
  EXPECT_EQ(builder.counts().added, 1u);
}

TEST(FleetBuilder, ConflictsAmongStoredPointsWereCountedByTheirOwnRun) {
  fleet_builder builder;
  for (const auto& p : {noon, noon_elsewhere}) {
    track_point stored;
    stored.modem_id = "1";
    stored.position = p;
    builder.add_stored(stored);
  }
  builder.add(message_of("1", {one_pm}), {"a.sbd", ""});
  builder.finish();
  EXPECT_EQ(builder.counts().conflicts, 0u);
}

}  // namespace
}  // namespace kaldo::tool

namespace kaldo::tool {
namespace {

// Enough points that the table of seen points grows several times.
TEST(FleetBuilder, ThousandsOfPointsAreStillToldApartFromTheirCopies) {
  for (const bool reserved : {false, true}) {
    fleet_builder builder;
    if (reserved) builder.reserve(5000);
    std::vector<std::optional<kaldo::position>> reports;
    for (int i = 0; i < 5000; ++i) {
      auto p = position_at("2008-05-17T00:00:00.000Z", 10 + i * 1e-5, 20);
      p.time += std::chrono::seconds(i % 2500);  // two places at each instant
      reports.push_back(p);
    }
    builder.add(message_of("1", reports), {"a.sbd", ""});
    builder.add(message_of("1", reports), {"b.sbd", ""});
    const fleet result = builder.finish();
    EXPECT_EQ(result.points.size(), 5000u);
    EXPECT_EQ(builder.counts().duplicates, 5000u);
    EXPECT_EQ(builder.counts().conflicts, 2500u);
  }
}

}  // namespace
}  // namespace kaldo::tool
