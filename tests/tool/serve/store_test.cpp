// The store of `kaldo serve` read back with GDAL: every kind of message,
// redeliveries, a unit's line in time order as late points arrive, the
// upgrade of a GeoPackage `kaldo tracks` wrote, durable settings, group
// commit under many threads, and bounded answers; then PostgreSQL: two
// stores on one database, and a server that goes away and comes back.
#include <gtest/gtest.h>

#include <ogrsf_frmts.h>
#include <sqlite3.h>

#include <atomic>
#include <climits>
#include <cctype>
#include <cmath>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "tests/test_support.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/postgres_server.h"
#include "tests/tool/sample_messages.h"
#include "tests/tool/small_disk.h"
#include "tool/outputs/ogr_layers.h"
#include "tool/serve/bulk_insert.h"
#include "tool/serve/commit_queue.h"
#include "tool/serve/store.h"
#include "tool/serve/store_dataset.h"
#include "tool/utc_text.h"

namespace kaldo::tool::serve {
namespace {

using namespace std::chrono_literals;

const std::string imei = "300034012345670";
constexpr std::int64_t session_noon = 1211025600;  // 2008-05-17 12:00:00 UTC

// A binary report of 17 May 2008 at `hour`:`minute`, its latitude minutes
// set by `minute` so that each time has its own place.
std::string report_at(int hour, int minute) {
  binary_fields f;
  f.hour = hour;
  f.minute = minute;
  f.second = 0;
  f.millisecond = 0;
  f.lat_minutes = minute % 60;
  return binary_report(f);
}

received_message message(std::uint32_t momsn, std::optional<std::string> payload,
                         std::string id = imei) {
  received_message m;
  m.channel = "directip";
  m.imei = std::move(id);
  m.momsn = momsn;
  m.session_time = session_noon + momsn;
  m.mtmsn = 7;
  m.cdr_reference = 4000000000u;
  m.session_status = 0;
  m.payload = std::move(payload);
  m.iridium_latitude = 33.7;
  m.iridium_longitude = -117.8;
  m.iridium_cep_km = 4;
  return m;
}

std::unique_ptr<message_store> open_store(const std::string& destination) {
  std::string error;
  auto store = open_message_store(destination, {}, &error);
  EXPECT_NE(store, nullptr) << error;
  return store;
}

struct message_row {
  std::string status, error, imei;
  long long momsn = 0;
  std::string payload;
};

std::vector<message_row> read_messages(const std::string& destination) {
  std::unique_ptr<GDALDataset> dataset(
      GDALDataset::Open(destination.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
  std::vector<message_row> rows;
  if (dataset == nullptr) {
    ADD_FAILURE() << "cannot open " << destination;
    return rows;
  }
  OGRLayer* layer = dataset->GetLayerByName("messages");
  if (layer == nullptr) {
    ADD_FAILURE() << "no messages table";
    return rows;
  }
  for (auto& feature : *layer) {
    message_row row;
    row.status = feature->GetFieldAsString("status");
    row.error = feature->GetFieldAsString("error");
    row.imei = feature->GetFieldAsString("imei");
    row.momsn = feature->GetFieldAsInteger64("momsn");
    int size = 0;
    const GByte* bytes = feature->GetFieldAsBinary(feature->GetFieldIndex("payload"), &size);
    row.payload.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
    rows.push_back(row);
  }
  return rows;  // in the order stored
}

// The line's latitudes, which report_at() makes from the minutes.
std::vector<double> line_latitudes(const std::string& destination, const std::string& unit) {
  std::vector<double> latitudes;
  for (const auto& track : testing::read_tracks(destination, "tracks")) {
    if (track.modem_id != unit) continue;
    for (const auto& [longitude, latitude] : track.line) latitudes.push_back(latitude);
  }
  return latitudes;
}

double latitude_of_minute(int minute) { return 33 + (minute % 60 + 0.1234) / 60; }

class Store : public ::testing::Test {
 protected:
  temp_dir directory_;
  std::string path_ = directory_.path() + "/live.gpkg";
};

TEST_F(Store, StoresEveryKindOfMessageOnce) {
  const std::string three_reports =
      make_message(1, {report_at(12, 1), report_at(12, 2), report_at(12, 3)});
  struct row {
    const char* name;
    std::optional<std::string> payload;
    stored_status status;
    std::size_t positions;
    bool error;
  } cases[] = {
      {"three position reports", three_reports, stored_status::converted, 3, false},
      {"a payload too short for a report", std::string(29, '\x01'), stored_status::failed, 0, true},
      {"a remote update response", std::string("Updated"), stored_status::not_position_report, 0,
       false},
      {"a session without payload", std::nullopt, stored_status::no_payload, 0, false},
      {"a report the first message holds already", make_message(1, {report_at(12, 2)}),
       stored_status::converted, 0, false},
  };
  auto store = open_store(path_);
  ASSERT_NE(store, nullptr);
  std::uint32_t momsn = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto first = store->store(message(++momsn, c.payload));
    EXPECT_TRUE(first.committed) << first.error;
    EXPECT_FALSE(first.duplicate);
    EXPECT_EQ(first.status, c.status);
    EXPECT_EQ(first.positions_added, c.positions);
    EXPECT_EQ(!first.error.empty(), c.error) << first.error;
    // The gateway sends it again: confirmed, nothing added.
    const auto again = store->store(message(momsn, c.payload));
    EXPECT_TRUE(again.committed) << again.error;
    EXPECT_TRUE(again.duplicate);
    EXPECT_EQ(again.status, c.status);
    EXPECT_EQ(again.positions_added, 0u);
  }
  // The same IMEI and MOMSN at another session time is another message.
  auto later_session = message(1, three_reports);
  later_session.session_time += 3600;
  const auto other = store->store(later_session);
  EXPECT_TRUE(other.committed && !other.duplicate) << other.error;
  // An IMEI that is no IMEI is refused before the database is asked.
  const auto refused = store->store(message(99, three_reports, "30003401234567'"));
  EXPECT_FALSE(refused.committed);
  EXPECT_NE(refused.error.find("IMEI"), std::string::npos) << refused.error;
  store.reset();

  const auto rows = read_messages(path_);
  ASSERT_EQ(rows.size(), std::size(cases) + 1);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(rows[i].status, to_string(cases[i].status));
    EXPECT_EQ(rows[i].imei, imei);
    EXPECT_EQ(rows[i].payload, cases[i].payload.value_or(""));
    EXPECT_EQ(rows[i].error.empty(), !cases[i].error) << rows[i].error;
  }
  EXPECT_EQ(testing::read_points(path_, "positions").size(), 3u);
  // Rows the store wrote beside GDAL leave GDAL's counts of its tables
  // right: QGIS shows those counts.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  for (const char* table : {"messages", "positions", "tracks", "kaldo_schema"}) {
    SCOPED_TRACE(table);
    auto count = [&](const std::string& sql) {
      sqlite3_stmt* statement = nullptr;
      long long n = -1;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        n = sqlite3_column_int64(statement, 0);
      }
      sqlite3_finalize(statement);
      return n;
    };
    const long long rows_there = count(std::string("SELECT COUNT(*) FROM ") + table);
    EXPECT_GT(rows_there, 0);
    EXPECT_EQ(count(std::string("SELECT feature_count FROM gpkg_ogr_contents WHERE table_name = '") + table + "'"),
              rows_there);
  }
  sqlite3_close(db);
}

TEST_F(Store, LineGrowsInTimeOrderWhateverOrderPointsArrive) {
  struct step {
    const char* name;
    int minute;                   // of 12 o'clock
    std::vector<int> line_after;  // the minutes of the line, in order
  } steps[] = {
      {"a first point: no line yet", 10, {}},
      {"a later point", 20, {10, 20}},
      {"a late point between the two", 15, {10, 15, 20}},
      {"a point earlier than all", 5, {5, 10, 15, 20}},
      {"the newest point", 30, {5, 10, 15, 20, 30}},
  };
  std::uint32_t momsn = 100;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    // A store opened again each time: the line is read back, not kept.
    auto store = open_store(path_);
    ASSERT_NE(store, nullptr);
    const auto result = store->store(message(++momsn, make_message(1, {report_at(12, s.minute)})));
    ASSERT_TRUE(result.committed) << result.error;
    EXPECT_EQ(result.positions_added, 1u);
    store.reset();
    std::vector<double> expected;
    for (int minute : s.line_after) expected.push_back(latitude_of_minute(minute));
    const auto line = line_latitudes(path_, imei);
    ASSERT_EQ(line.size(), expected.size());
    for (std::size_t i = 0; i < line.size(); ++i) EXPECT_NEAR(line[i], expected[i], 1e-6);
  }
  const auto tracks = testing::read_tracks(path_, "tracks");
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0].points, 5);
  EXPECT_EQ(tracks[0].first_time, parse_iso8601("2008-05-17T12:05:00.000Z"));
  EXPECT_EQ(tracks[0].last_time, parse_iso8601("2008-05-17T12:30:00.000Z"));
}

// A report at 12:MM, at 179.5° east or west of Greenwich.
std::string report_near_antimeridian(int minute, bool west) {
  binary_fields f;
  f.minute = minute;
  f.second = 0;
  f.millisecond = 0;
  f.lat_minutes = minute % 60;
  f.lon_degrees = 179;
  f.lon_minutes = 30;
  f.lon_fraction = 0;
  if (west) f.flags |= 0x40;
  return binary_report(f);
}

TEST_F(Store, LinesAcrossTheAntimeridianAreSplitThereAndStillGrow) {
  auto store = open_store(path_);
  ASSERT_NE(store, nullptr);
  // East, then west, then a late point in between: the line crosses 180°
  // twice; then one more at the end, on a line that was split.
  const struct {
    int minute;
    bool west;
    std::size_t parts;
  } steps[] = {{10, false, 0}, {30, true, 2}, {20, false, 2}, {40, false, 3}};
  std::uint32_t momsn = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.minute);
    const auto result = store->store(message(++momsn, make_message(1, {report_near_antimeridian(step.minute, step.west)})));
    ASSERT_TRUE(result.committed) << result.error;
    std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(path_.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
    ASSERT_NE(dataset, nullptr);
    OGRLayer* tracks = dataset->GetLayerByName("tracks");
    ASSERT_NE(tracks, nullptr);
    EXPECT_EQ(wkbFlatten(tracks->GetGeomType()), wkbMultiLineString);
    std::unique_ptr<OGRFeature> row(tracks->GetNextFeature());
    if (step.parts == 0) {
      EXPECT_TRUE(row == nullptr || row->GetGeometryRef() == nullptr);
      continue;
    }
    ASSERT_NE(row, nullptr);
    const auto* lines = row->GetGeometryRef()->toMultiLineString();
    EXPECT_EQ(static_cast<std::size_t>(lines->getNumGeometries()), step.parts);
    for (const OGRLineString* part : *lines) {
      for (int i = 1; i < part->getNumPoints(); ++i) {
        EXPECT_LE(std::fabs(part->getX(i) - part->getX(i - 1)), 180.0) << "a segment the long way round";
      }
    }
  }
  EXPECT_EQ(testing::read_tracks(path_, "tracks").at(0).points, 4);
}

TEST_F(Store, ATracksLayerOfLineStringsIsMadeAgainAsMultiLineStrings) {
  std::string error;
  ASSERT_TRUE(testing::run_into(
      path_, {testing::message_of(imei, {testing::position_at("2008-05-17T12:10:00.000Z", 33.1, 117.5),
                                         testing::position_at("2008-05-17T12:30:00.000Z", 33.3, 117.5)})},
      &error))
      << error;
  {
    // The layer as kaldo wrote it before lines were split: LineStrings.
    std::unique_ptr<GDALDataset> dataset(
        GDALDataset::Open(path_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
    ASSERT_NE(dataset, nullptr);
    for (int i = 0; i < dataset->GetLayerCount(); ++i) {
      if (std::string(dataset->GetLayer(i)->GetName()) == "tracks") {
        ASSERT_EQ(dataset->DeleteLayer(i), OGRERR_NONE);
      }
    }
    OGRSpatialReference srs;
    srs.importFromEPSG(4326);
    OGRLayer* tracks = dataset->CreateLayer("tracks", &srs, wkbLineString, nullptr);
    ASSERT_NE(tracks, nullptr);
    ASSERT_FALSE(kaldo::tool::track_field_indices(*tracks, kaldo::tool::tracks_fields(), true, false, &error).empty()) << error;
  }
  auto store = open_store(path_);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(store->store(message(1, make_message(1, {report_at(12, 20)}))).committed);
  store.reset();
  const auto tracks = testing::read_tracks(path_, "tracks");
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0].points, 3);
  EXPECT_EQ(tracks[0].line.size(), 3u);
  std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(path_.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
  ASSERT_NE(dataset, nullptr);
  EXPECT_EQ(wkbFlatten(dataset->GetLayerByName("tracks")->GetGeomType()), wkbMultiLineString);
}

TEST_F(Store, UpgradesWhatKaldoTracksWroteAndKeepsItsPoints) {
  using testing::message_of;
  using testing::position_at;
  std::string error;
  ASSERT_TRUE(testing::run_into(
      path_,
      {message_of(imei, {position_at("2008-05-17T12:10:00.000Z", latitude_of_minute(10), 117.5),
                         position_at("2008-05-17T12:30:00.000Z", latitude_of_minute(30), 117.5)})},
      &error))
      << error;
  auto store = open_store(path_);
  ASSERT_NE(store, nullptr);
  // One report already there, one between the two stored ones.
  const auto result = store->store(
      message(1, make_message(1, {report_at(12, 20)})));
  EXPECT_TRUE(result.committed) << result.error;
  store.reset();
  EXPECT_EQ(testing::read_points(path_, "positions").size(), 3u);
  const auto line = line_latitudes(path_, imei);
  ASSERT_EQ(line.size(), 3u);
  EXPECT_NEAR(line[1], latitude_of_minute(20), 1e-6);
  EXPECT_EQ(read_messages(path_).size(), 1u);

  // A store of a later schema is refused, and left as it is.
  {
    std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(
        path_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
    ASSERT_NE(dataset, nullptr);
    ASSERT_TRUE(execute_sql(*dataset, "UPDATE kaldo_schema SET version = 2", &error)) << error;
  }
  EXPECT_EQ(open_message_store(path_, {}, &error), nullptr);
  EXPECT_NE(error.find("newer kaldo"), std::string::npos) << error;
}

TEST_F(Store, CommitsAreSyncedToTheWriteAheadLog) {
  std::string error;
  auto store = open_store_dataset(path_, &error);
  ASSERT_NE(store, nullptr) << error;
  struct pragma {
    const char* name;
    const char* value;
  } pragmas[] = {{"journal_mode", "wal"}, {"synchronous", "2"},  // 2: FULL
                 {"busy_timeout", "2000"}};
  for (const auto& p : pragmas) {
    OGRLayer* result = store->dataset->ExecuteSQL((std::string("PRAGMA ") + p.name).c_str(),
                                                  nullptr, nullptr);
    ASSERT_NE(result, nullptr) << p.name;
    std::unique_ptr<OGRFeature> row(result->GetNextFeature());
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->GetFieldAsString(0), p.value) << p.name;
    store->dataset->ReleaseResultSet(result);
  }
}

TEST_F(Store, ManyThreadsShareCommits) {
  auto store = open_store(path_);
  ASSERT_NE(store, nullptr);
  // Two threads send each message, in opposite orders, and each message
  // repeats the report of the one before: the copies meet in one batch, or
  // find the other's in the store.
  constexpr int threads = 8, each = 25, messages = threads / 2 * each;
  std::atomic<int> committed{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < threads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < each; ++i) {
        const int n = t / 2 * each + (t % 2 == 0 ? i : each - 1 - i);
        std::vector<std::string> reports = {report_at(10 + n / 60, n % 60)};
        if (n > 0) reports.push_back(report_at(10 + (n - 1) / 60, (n - 1) % 60));
        auto m = message(static_cast<std::uint32_t>(n), make_message(1, reports));
        if (store->store(m).committed) ++committed;
      }
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(committed.load(), threads * each);
  EXPECT_LT(store->commits(), static_cast<std::uint64_t>(threads * each));
  store.reset();
  EXPECT_EQ(read_messages(path_).size(), static_cast<std::size_t>(messages));
  const auto latitudes = line_latitudes(path_, imei);
  EXPECT_EQ(latitudes.size(), static_cast<std::size_t>(messages));
}

// A disk that fills up under the store: what cannot be committed is
// answered so, everything answered committed is there, and once there is
// room again the same store commits, without a restart.
TEST(StoreOnAFullDisk, AnswersNotCommittedAndCommitsAgainOnceThereIsRoom) {
  KALDO_REQUIRE_PART(geteuid() == 0, "mounting a small tmpfs needs root");
  temp_dir mountpoint;
  std::string unavailable;
  const auto said = testing::in_own_tmpfs(
      mountpoint.path(),
      [&]() -> std::string {
        const std::string path = mountpoint.path() + "/fleet.gpkg";
        std::string error;
        auto store = open_message_store(path, {}, &error);
        if (!store) return "cannot open: " + error;
        std::set<long long> committed;
        std::uint32_t momsn = 0;
        std::string first_failure;
        const auto send = [&] {
          ++momsn;
          const auto result = store->store(
              message(momsn, make_message(1, {report_at(static_cast<int>(momsn / 60 % 24), static_cast<int>(momsn % 60))})));
          if (result.committed) committed.insert(momsn);
          if (!result.committed && first_failure.empty()) first_failure = result.error;
          return result.committed;
        };
        int with_room = 0, failed = 0, again = 0;
        for (int i = 0; i < 5; ++i) with_room += send();
        testing::leave_room(mountpoint.path(), 0);
        for (int i = 0; i < 5000 && failed < 3; ++i) failed += !send();
        testing::leave_room(mountpoint.path(), 4096);
        for (int i = 0; i < 5; ++i) again += send();
        store.reset();
        std::set<long long> stored;
        for (const message_row& row : read_messages(path)) stored.insert(row.momsn);
        std::ostringstream out;
        out << with_room << " " << failed << " " << again << " " << (stored == committed) << " " << committed.size()
            << "\n"
            << first_failure;
        return out.str();
      },
      &unavailable);
  KALDO_REQUIRE_PART(said.has_value(), "no tmpfs of its own: " + unavailable);
  std::istringstream in(*said);
  int with_room = -1, failed = -1, again = -1, same = -1;
  std::size_t committed = 0;
  in >> with_room >> failed >> again >> same >> committed;
  std::string first_failure;
  std::getline(in >> std::ws, first_failure);
  EXPECT_EQ(with_room, 5) << *said;
  EXPECT_EQ(failed, 3) << "the disk never filled: " << *said;
  EXPECT_EQ(again, 5) << "no commit once there was room again: " << *said;
  EXPECT_EQ(same, 1) << "what is stored is not what was answered committed: " << *said;
  EXPECT_TRUE(first_failure.starts_with("not committed: ")) << first_failure;
  EXPECT_NE(first_failure.find("full"), std::string::npos) << first_failure;
}

// The queue's promises, with a writer that stands in for a database.
TEST(CommitQueue, AnswersWithinItsTimeWhateverTheWriterDoes) {
  struct row {
    const char* name;
    std::chrono::milliseconds writer_takes;
    bool committed;
  } cases[] = {
      {"a writer that commits at once", 0ms, true},
      {"a writer that hangs past the wait", 1500ms, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store_options options;
    options.answer_within = 300ms;
    std::string error;
    auto queue = commit_queue::start(
        options, [](std::string*) { return true; },
        [&](std::vector<pending_message*>& batch) -> std::size_t {
          std::this_thread::sleep_for(c.writer_takes);
          for (auto* p : batch) p->result.committed = true;
          return 1;
        },
        [] {}, &error);
    ASSERT_NE(queue, nullptr) << error;
    std::promise<store_result> answered;
    const auto start = std::chrono::steady_clock::now();
    queue->submit(message(1, std::nullopt), [&](store_result r) { answered.set_value(r); });
    const store_result result = answered.get_future().get();
    EXPECT_EQ(result.committed, c.committed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
    queue->close();
    // Closed: answered at once, not stored.
    store_result after;
    after.committed = true;
    queue->submit(message(2, std::nullopt), [&](store_result r) { after = r; });
    EXPECT_FALSE(after.committed);
  }
}

// A commit waits for more messages while they keep coming, and not the
// whole gathering time once they stop.
TEST(CommitQueue, GathersWhileMessagesKeepComingAndNoLonger) {
  store_options options;
  options.gather = 4s;  // quiet after 0.5 s
  options.answer_within = 20s;
  std::mutex mutex;
  std::vector<std::vector<std::uint32_t>> batches;
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::string error;
  auto queue = commit_queue::start(
      options, [](std::string*) { return true; },
      [&](std::vector<pending_message*>& batch) -> std::size_t {
        if (batch.front()->message.momsn == 1) {
          entered.set_value();
          released.wait();
        }
        std::lock_guard lock(mutex);
        batches.emplace_back();
        for (auto* p : batch) {
          p->result.committed = true;
          batches.back().push_back(p->message.momsn);
        }
        return 1;
      },
      [] {}, &error);
  ASSERT_NE(queue, nullptr) << error;
  std::vector<std::future<store_result>> answers;
  auto send = [&](std::uint32_t momsn) {
    auto answered = std::make_shared<std::promise<store_result>>();
    answers.push_back(answered->get_future());
    queue->submit(message(momsn, std::nullopt), [answered](store_result r) { answered->set_value(r); });
  };
  send(1);  // held in its commit while 2 and 3 queue: they come together
  entered.get_future().wait();
  send(2);
  send(3);
  release.set_value();
  answers[2].wait();
  for (std::uint32_t momsn : {4, 5, 6}) {  // one every 0.1 s: one commit
    send(momsn);
    std::this_thread::sleep_for(100ms);
  }
  answers[5].wait();
  const auto start = std::chrono::steady_clock::now();
  send(7);  // nothing follows it
  EXPECT_TRUE(answers[6].get().committed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  queue->close();
  using list = std::vector<std::uint32_t>;
  EXPECT_EQ(batches, (std::vector<list>{{1}, {2, 3}, {4, 5, 6}, {7}}));
}

class PostGisStore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = testing::postgres_server::start(&why_).release(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    KALDO_REQUIRE_PART(server_ != nullptr, "no PostgreSQL with PostGIS: " + why_);
    std::string why;
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    database_ = name;
    connection_ = server_->create_database(name, &why);
    ASSERT_FALSE(connection_.empty()) << why;
  }
  std::string count(const std::string& sql) {
    std::string why;
    std::string out = server_->query(database_, sql, &why);
    EXPECT_TRUE(why.empty()) << why;
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
    return out;
  }
  static testing::postgres_server* server_;
  static std::string why_;
  std::string database_, connection_;
};

testing::postgres_server* PostGisStore::server_ = nullptr;
std::string PostGisStore::why_;

TEST_F(PostGisStore, TwoProcessesStoreEachMessageOnce) {
  // Made by one store first, so that the other finds the schema there.
  auto first = open_store(connection_);
  auto second = open_store(connection_);
  ASSERT_TRUE(first && second);
  constexpr int messages = 60;
  std::atomic<int> committed{0};
  std::vector<std::thread> senders;
  for (auto* store : {first.get(), second.get()}) {
    for (int half = 0; half < 2; ++half) {
      senders.emplace_back([&, store, half] {
        // Both stores get every message, in opposite orders; two units,
        // each message repeating a report of the one before it.
        for (int i = 0; i < messages; ++i) {
          const int n = half == 0 ? i : messages - 1 - i;
          const std::string unit = n % 2 == 0 ? imei : "300034012345671";
          auto m = message(static_cast<std::uint32_t>(n),
                           make_message(1, {report_at(12, n / 2), report_at(12, n / 2 + 1)}), unit);
          if (store->store(m).committed) ++committed;
        }
      });
    }
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(committed.load(), 4 * messages);
  EXPECT_EQ(count("SELECT count(*) FROM messages"), std::to_string(messages));
  // Each unit's distinct reports once, and its line through all of them.
  EXPECT_EQ(count("SELECT count(*) FROM positions"), std::to_string(messages + 2));
  // Each unit's row: its points counted, and its line through them in time
  // order, whichever process brought which point.
  EXPECT_EQ(count("SELECT string_agg(t.points || ':' || (ST_AsText(ST_GeometryN(t.geom, 1)) = (SELECT "
                  "ST_AsText(ST_MakeLine(p.geom ORDER BY p.\\\"time\\\")) FROM positions p "
                  "WHERE p.modem_id = t.modem_id))::text, ',' ORDER BY t.modem_id) FROM tracks t"),
            std::to_string(messages / 2 + 1) + ":true," + std::to_string(messages / 2 + 1) +
                ":true");
  EXPECT_EQ(count("SELECT setting FROM pg_settings WHERE name = 'synchronous_commit'"), "on");
}

TEST_F(PostGisStore, UpgradesWhatKaldoTracksWrote) {
  std::string error;
  ASSERT_TRUE(testing::run_into(
      connection_,
      {testing::message_of(imei, {testing::position_at("2008-05-17T12:10:00.000Z", 33.1, 117.5),
                                  testing::position_at("2008-05-17T12:30:00.000Z", 33.3, 117.5)})},
      &error))
      << error;
  // Two processes start on it at once: one upgrades, the other finds it done.
  std::unique_ptr<message_store> stores[2];
  std::thread other([&] { stores[1] = open_store(connection_); });
  stores[0] = open_store(connection_);
  other.join();
  ASSERT_TRUE(stores[0] && stores[1]);
  EXPECT_TRUE(stores[1]->store(message(1, make_message(1, {report_at(12, 20)}))).committed);
  EXPECT_EQ(count("SELECT version FROM kaldo_schema"), "1");
  EXPECT_EQ(count("SELECT points || ' ' || ST_NPoints(geom) FROM tracks"), "3 3");
}

// Fills every field of `row` by its type with values that are hard to send
// as text: quotes, backslashes, dollar signs, line ends, non-ASCII, NUL and
// 0xFF bytes, extreme and non-finite numbers, milliseconds; some left null.
void fill_hard_values(OGRFeature& row, int variant) {
  static const char* const texts[] = {"it's \"quoted\" \\ $$ $1", "line\nend\ttab", "caf\xC3\xA9 \xF0\x9F\x9B\xB0"};
  // GDAL writes 15 significant digits of a real: these keep every bit.
  static const double reals[] = {0.1, -0.0, 1e-300, 1.5e308, std::nan(""), -HUGE_VAL};
  const OGRFeatureDefn& d = *row.GetDefnRef();
  for (int i = 0; i < d.GetFieldCount(); ++i) {
    if ((i + variant) % 5 == 0) {
      row.SetFieldNull(i);
      continue;
    }
    switch (d.GetFieldDefn(i)->GetType()) {
      case OFTInteger: row.SetField(i, variant % 2 == 0 ? INT_MAX : INT_MIN); break;
      case OFTInteger64: row.SetField(i, static_cast<GIntBig>(LLONG_MIN + variant)); break;
      case OFTReal: row.SetField(i, reals[(i + variant) % std::size(reals)]); break;
      case OFTDateTime: row.SetField(i, 2008, 5, 17, 23, 50 + variant, 59.125f, 100); break;
      case OFTBinary: {
        const GByte bytes[] = {0x00, 0xFF, '\'', '\\', static_cast<GByte>(variant)};
        row.SetField(i, static_cast<int>(std::size(bytes)), bytes);
        break;
      }
      default: row.SetField(i, (std::to_string(variant) + texts[(i + variant) % std::size(texts)]).c_str()); break;
    }
  }
  if (d.GetGeomFieldCount() > 0) row.SetGeometryDirectly(new OGRPoint(-179.99999999999997 + variant, 1e-300));
}

// Rows sent together (a batch on PostgreSQL) are the rows GDAL writes one
// by one, bit for bit, and come back with their ids in the order sent.
TEST_F(PostGisStore, RowsSentTogetherEqualThoseGdalWritesOneByOne) {
  ASSERT_NE(open_store(connection_), nullptr);
  for (const char* table : {"messages", "positions"}) {
    count(std::string("CREATE TABLE ") + table + "_one (LIKE " + table + " INCLUDING ALL)");
  }
  std::unique_ptr<GDALDataset> dataset(
      GDALDataset::Open(connection_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
  ASSERT_NE(dataset, nullptr);
  constexpr int rows = 6;
  for (const char* table : {"messages", "positions"}) {
    SCOPED_TRACE(table);
    OGRLayer* together = dataset->GetLayerByName(table);
    OGRLayer* one_by_one = dataset->GetLayerByName((std::string(table) + "_one").c_str());
    ASSERT_TRUE(together && one_by_one);
    bulk_insert sent(*together);
    std::string error;
    for (int v = 0; v < rows; ++v) {
      OGRFeature row(together->GetLayerDefn());
      fill_hard_values(row, v);
      ASSERT_TRUE(sent.add(row, &error)) << error;
      OGRFeature same(one_by_one->GetLayerDefn());
      fill_hard_values(same, v);
      ASSERT_EQ(one_by_one->CreateFeature(&same), OGRERR_NONE);
    }
    std::vector<std::int64_t> fids;
    ASSERT_TRUE(sent.flush(*dataset, &fids, &error)) << error;
    ASSERT_EQ(fids.size(), static_cast<std::size_t>(rows));
    // Every column but the id; a geometry by its exact bytes.
    const std::string row_text = "to_jsonb(t) - 'fid' - 'geom' || jsonb_build_object('g', encode(ST_AsEWKB(" +
                                 std::string(std::string(table) == "positions" ? "t.geom" : "NULL::geometry") +
                                 "), 'hex'))";
    const std::string differ = "SELECT count(*) FROM ((SELECT " + row_text + " FROM " + table + " t EXCEPT ALL SELECT " +
                               row_text + " FROM " + table + "_one t) UNION ALL (SELECT " + row_text + " FROM " +
                               table + "_one t EXCEPT ALL SELECT " + row_text + " FROM " + table + " t)) d";
    EXPECT_EQ(count(differ), "0");
    EXPECT_EQ(count(std::string("SELECT count(*) FROM ") + table), std::to_string(rows));
    // The ids returned are the rows' in the order sent: the same row of
    // the one-by-one table at each place.
    for (int v = 0; v < rows; ++v) {
      EXPECT_EQ(count("SELECT count(*) FROM " + std::string(table) + " t, (SELECT * FROM " + table +
                      "_one ORDER BY fid OFFSET " + std::to_string(v) + " LIMIT 1) o WHERE t.fid = " +
                      std::to_string(fids[static_cast<std::size_t>(v)]) + " AND " +
                      "(to_jsonb(t) - 'fid' - 'geom') = (to_jsonb(o) - 'fid' - 'geom')"),
                "1")
          << v;
    }
  }
}

// Messages submitted at once share commits, their rows sent together: a
// unit's points, arriving out of time order within one batch, still make
// its line in time order, each once.
TEST_F(PostGisStore, ABatchOfLatePointsStillMakesTheLineInTimeOrder) {
  auto store = open_store(connection_);
  ASSERT_NE(store, nullptr);
  constexpr int messages = 40;
  std::vector<int> minutes(messages);
  for (int i = 0; i < messages; ++i) minutes[static_cast<std::size_t>(i)] = (i * 17) % messages;  // shuffled
  std::vector<std::promise<store_result>> answers(messages);
  for (int i = 0; i < messages; ++i) {
    const int minute = minutes[static_cast<std::size_t>(i)];
    store->submit(message(static_cast<std::uint32_t>(i + 1), make_message(1, {report_at(12, minute), report_at(12, (minute + 1) % messages)})),
                  [&answers, i](store_result r) { answers[static_cast<std::size_t>(i)].set_value(r); });
  }
  for (auto& answer : answers) EXPECT_TRUE(answer.get_future().get().committed);
  EXPECT_LT(store->commits(), static_cast<std::uint64_t>(messages)) << "no batch held several messages";
  store.reset();
  EXPECT_EQ(count("SELECT count(*) FROM positions"), std::to_string(messages));
  EXPECT_EQ(count("SELECT t.points || ':' || (ST_AsText(ST_GeometryN(t.geom, 1)) = (SELECT "
                  "ST_AsText(ST_MakeLine(p.geom ORDER BY p.\"time\")) FROM positions p))::text FROM tracks t"),
            std::to_string(messages) + ":true");
  EXPECT_EQ(count("SELECT count(*) FROM messages"), std::to_string(messages));
}

TEST_F(PostGisStore, AnswersFailureWhileTheServerIsAwayAndRecovers) {
  auto store = open_store(connection_);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(store->store(message(1, make_message(1, {report_at(12, 1)}))).committed);
  std::string why;
  ASSERT_TRUE(server_->stop(&why)) << why;
  for (std::uint32_t momsn = 2; momsn <= 4; ++momsn) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = store->store(message(momsn, make_message(1, {report_at(12, momsn)})));
    EXPECT_FALSE(result.committed);
    EXPECT_FALSE(result.error.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  }
  ASSERT_TRUE(server_->start_again(&why)) << why;
  // The backoff is at most 2 s: within 10 s the store is back.
  bool recovered = false;
  for (int attempt = 0; attempt < 40 && !recovered; ++attempt) {
    recovered = store->store(message(5, make_message(1, {report_at(12, 5)}))).committed;
    if (!recovered) std::this_thread::sleep_for(250ms);
  }
  EXPECT_TRUE(recovered);
  store.reset();
  EXPECT_EQ(count("SELECT string_agg(momsn::text, ',' ORDER BY momsn) FROM messages"), "1,5");
  EXPECT_EQ(count("SELECT points FROM tracks"), "2");
}

}  // namespace
}  // namespace kaldo::tool::serve
