// The fleet in PostGIS, on a real server started for these tests: both
// layers read back point by point, appending keeps feature ids, a second
// run on the same inputs changes nothing, and a failed write rolls back.
#include <gtest/gtest.h>

#include <cctype>

#include "tool/fleet_builder.h"
#include "tool/outputs/fleet_output.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/postgres_server.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

using namespace testing;

class PostGis : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = postgres_server::start(&why_).release();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    KALDO_REQUIRE_PART(server_ != nullptr, "no PostgreSQL with PostGIS: " + why_);
    std::string why;
    // A database a test of its own; unquoted names are lower case in SQL.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    database_ = name;
    connection_ = server_->create_database(name, &why);
    ASSERT_FALSE(connection_.empty()) << why;
  }

  bool run_into(const std::vector<kaldo::decoded_message>& messages, std::string* error,
                fleet_counts* counts = nullptr) {
    return kaldo::tool::testing::run_into(connection_, messages, error, counts);
  }

  static postgres_server* server_;
  static std::string why_;
  std::string database_;
  std::string connection_;
};

postgres_server* PostGis::server_ = nullptr;
std::string PostGis::why_;

const auto noon = position_at("2008-05-17T12:00:00.000Z", 33.5, -117.5);
const auto one_pm = position_at("2008-05-17T13:00:00.000Z", 33.7, -117.4);
const auto two_pm = position_at("2008-05-17T14:00:00.000Z", 33.9, -117.3);

TEST_F(PostGis, HoldsBothLayersPointByPoint) {
  std::string error;
  auto sink = open_fleet_output(connection_, {}, &error);
  ASSERT_NE(sink, nullptr) << error;
  const fleet written = sample_fleet();
  ASSERT_TRUE(sink->write(written, &error)) << error;
  sink.reset();

  expect_same_points(expected_points(written), read_points(connection_, "positions"), 0);
  const auto tracks = read_tracks(connection_, "tracks");
  ASSERT_EQ(tracks.size(), written.units.size());
  for (std::size_t u = 0; u < tracks.size(); ++u) {
    EXPECT_EQ(tracks[u].modem_id, written.units[u].modem_id);
    EXPECT_EQ(tracks[u].points, static_cast<long long>(written.units[u].points.size()));
  }
  // The database itself sees UTF-8 text and geometries in EPSG:4326.
  std::string why;
  EXPECT_EQ(server_->query(database_,
                           "SELECT count(*) FROM positions WHERE modem_id = "
                           "'30003401234567\xC3\xA9' AND ST_SRID(geom) = 4326",
                           &why),
            "2\n")
      << why;
  EXPECT_EQ(server_->query(database_,
                           "SELECT ST_NPoints(geom) FROM tracks ORDER BY modem_id", &why),
            "4\n2\n\n")
      << why;
  // Styles where QGIS looks for a table's: its database, schema and name.
  EXPECT_EQ(server_->query(database_,
                           "SELECT f_table_name, stylename, useasdefault FROM layer_styles "
                           "WHERE f_table_catalog = current_database() AND f_table_schema = "
                           "'public' AND f_geometry_column = 'geom' ORDER BY id",
                           &why),
            "positions|kaldo|t\ntracks|kaldo|t\n")
      << why;
  EXPECT_EQ(server_->query(database_,
                           "SELECT GeometryType(geom) FROM tracks WHERE geom IS NOT NULL LIMIT 1",
                           &why),
            "MULTILINESTRING\n")
      << why;
}

TEST_F(PostGis, AppendingKeepsFeatureIdsAndRebuildsTheChangedLine) {
  std::string error;
  ASSERT_TRUE(run_into({message_of("1", {noon, one_pm}), message_of("2", {noon})}, &error))
      << error;
  const auto points_before = read_points(connection_, "positions");
  const auto tracks_before = read_tracks(connection_, "tracks");

  fleet_counts counts;
  ASSERT_TRUE(run_into({message_of("1", {one_pm, two_pm})}, &error, &counts)) << error;
  EXPECT_EQ(counts.stored, 3u);
  EXPECT_EQ(counts.added, 1u);
  const auto points_after = read_points(connection_, "positions");
  ASSERT_EQ(points_after.size(), 4u);
  for (const auto& before : points_before) {
    const auto kept = std::find_if(points_after.begin(), points_after.end(),
                                   [&](const read_point& p) { return p.fid == before.fid; });
    ASSERT_NE(kept, points_after.end());
    EXPECT_EQ(kept->time, before.time);
    EXPECT_EQ(kept->modem_id, before.modem_id);
  }
  const auto tracks_after = read_tracks(connection_, "tracks");
  ASSERT_EQ(tracks_after.size(), 2u);
  EXPECT_EQ(tracks_after[0].fid, tracks_before[0].fid);
  EXPECT_EQ(tracks_after[0].line.size(), 3u);
  EXPECT_EQ(tracks_after[0].last_time, two_pm.time);
  EXPECT_EQ(tracks_after[1].fid, tracks_before[1].fid);
}

TEST_F(PostGis, ASecondRunOnTheSameInputsChangesNothing) {
  const std::vector<kaldo::decoded_message> inputs = {message_of("1", {noon, one_pm, two_pm})};
  std::string error;
  ASSERT_TRUE(run_into(inputs, &error)) << error;
  std::string why;
  const std::string table =
      "SELECT fid, modem_id, time, ST_AsText(geom) FROM positions ORDER BY fid";
  const std::string lines = "SELECT fid, points, ST_AsText(geom) FROM tracks ORDER BY fid";
  const std::string points_before = server_->query(database_, table, &why);
  const std::string tracks_before = server_->query(database_, lines, &why);
  ASSERT_TRUE(why.empty()) << why;
  fleet_counts counts;
  ASSERT_TRUE(run_into(inputs, &error, &counts)) << error;
  EXPECT_EQ(counts.added, 0u);
  EXPECT_EQ(server_->query(database_, table, &why), points_before);
  EXPECT_EQ(server_->query(database_, lines, &why), tracks_before);
}

TEST_F(PostGis, AFailedWriteLeavesTheDatabaseAsItWas) {
  std::string error;
  ASSERT_TRUE(run_into({message_of("1", {noon})}, &error)) << error;
  std::string why;
  // A rule of the database the run does not know of: no point after 13:30.
  server_->query(database_,
                 "ALTER TABLE positions ADD CONSTRAINT early CHECK (time < '2008-05-17 13:30Z')",
                 &why);
  ASSERT_TRUE(why.empty()) << why;
  EXPECT_FALSE(run_into({message_of("1", {one_pm, two_pm})}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(server_->query(database_, "SELECT count(*) FROM positions", &why), "1\n");
  EXPECT_EQ(server_->query(database_, "SELECT points FROM tracks", &why), "1\n");
}

TEST_F(PostGis, ADatabaseThatDoesNotExistIsAClearError) {
  std::string error;
  const std::string wrong = connection_.substr(0, connection_.find("dbname=")) +
                            "dbname=no_such_database user=postgres";
  EXPECT_EQ(open_fleet_output(wrong, {}, &error), nullptr);
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

}  // namespace
}  // namespace kaldo::tool
