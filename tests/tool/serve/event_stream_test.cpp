// The store's event sequence and /events, against a GeoPackage store:
// ids in commit order and what the commit hook was told, a catch-up from
// an id, the limit beyond which a client is told to reset, the text of the
// events, and clients that resume, follow one unit or fall behind.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ogrsf_frmts.h>

#include <condition_variable>
#include <mutex>
#include <numeric>

#include "tests/test_support.h"
#include "tool/serve/event_stream.h"
#include "tool/serve/position_events.h"
#include "tool/serve/store.h"

namespace kaldo::tool::serve {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t session_noon = 1211025600;  // 2008-05-17 12:00:00 UTC

// A message of `imei` with one report per minute given; `emergency` packs
// the reports in the layout that can carry the flag.
received_message message(const std::string& imei, std::uint32_t momsn, std::vector<int> minutes,
                         bool emergency = false) {
  std::vector<std::string> reports;
  for (int minute : minutes) {
    if (emergency) {
      packed_fields f;
      f.minute = minute;
      f.emergency = 1;
      reports.push_back(packed_report(f));
    } else {
      binary_fields f;
      f.minute = minute;
      f.lat_minutes = minute;
      reports.push_back(binary_report(f));
    }
  }
  received_message m;
  m.channel = "directip";
  m.imei = imei;
  m.momsn = momsn;
  m.session_time = session_noon + momsn;
  m.payload = make_message(emergency ? 3 : 1, reports);
  return m;
}

// An exchange that keeps what is sent, and leaves once more than `most`
// bytes were sent (as a client that does not read would).
class recording_exchange final : public http_exchange {
 public:
  explicit recording_exchange(std::size_t most = SIZE_MAX) : most_(most) {}
  void answer(http_answer) override {}
  void open_stream(http_answer, std::size_t) override {}
  bool send(std::string piece) override {
    std::lock_guard lock(mutex_);
    if (!open_) return false;
    if (text_.size() + piece.size() > most_) {
      open_ = false;
      return false;
    }
    text_ += piece;
    changed_.notify_all();
    return true;
  }
  void end() override {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  bool open() const override {
    std::lock_guard lock(mutex_);
    return open_;
  }
  // The text once it holds `wanted`, or all of it after 5 s.
  std::string wait_for(const std::string& wanted) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return text_.find(wanted) != std::string::npos; });
    return text_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::size_t most_;
  bool open_ = true;
};

// The ids of the events in `text`, in order, one per event block.
std::vector<std::string> events_in(const std::string& text) {
  std::vector<std::string> events;
  // Only at a line's start: the data holds the words too, inside strings.
  for (std::size_t at = text.find("\nevent: "); at != std::string::npos;
       at = text.find("\nevent: ", at + 1)) {
    ++at;
    const std::size_t line_end = text.find('\n', at);
    const std::size_t id = text.rfind("id: ", at);
    events.push_back(text.substr(at + 7, line_end - at - 7) + "#" +
                     text.substr(id + 4, text.find('\n', id) - id - 4));
  }
  return events;
}

class EventSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store_ = open_message_store(path_, {}, &error);
    ASSERT_NE(store_, nullptr) << error;
    store_->on_commit([this](const std::vector<committed_point>& points) {
      std::lock_guard lock(mutex_);
      for (const auto& p : points) hooked_.push_back(p.position_fid);
    });
    reader_ = position_event_reader::open(path_, &error);
    ASSERT_NE(reader_, nullptr) << error;
  }

  void store(received_message m) { ASSERT_TRUE(store_->store(std::move(m)).committed); }

  temp_dir directory_;
  std::string path_ = directory_.path() + "/events.gpkg";
  std::unique_ptr<message_store> store_;
  std::unique_ptr<position_event_reader> reader_;
  std::mutex mutex_;
  std::vector<std::int64_t> hooked_;
};

TEST_F(EventSequence, IdsFollowCommitsAndCatchUpFromAnyId) {
  store(message("300034012345670", 1, {1, 2}));
  store(message("300034012345671", 2, {5}));
  store(message("300034012345670", 1, {1, 2}));  // delivered again: no event
  store(message("300034012345670", 3, {2, 3}));  // 12:02 stored already: one event
  store(message("300034012345670", 4, {0}));     // late: its event comes last all the same
  std::string error;
  const auto all = reader_->read_since(0, 100, &error);
  ASSERT_TRUE(all) << error;
  ASSERT_EQ(all->events.size(), 5u);
  const struct {
    const char* unit;
    int minute;
  } expected[] = {{"300034012345670", 1}, {"300034012345670", 2}, {"300034012345671", 5},
                  {"300034012345670", 3}, {"300034012345670", 0}};
  std::vector<std::int64_t> fids;
  for (std::size_t i = 0; i < all->events.size(); ++i) {
    const position_event& e = all->events[i];
    EXPECT_EQ(e.id, static_cast<std::int64_t>(i) + 1);
    EXPECT_EQ(e.point.modem_id, expected[i].unit) << i;
    EXPECT_NEAR(e.point.position.latitude, 33 + (expected[i].minute + 0.1234) / 60, 1e-6) << i;
    fids.push_back(e.position_fid);
  }
  EXPECT_EQ(all->latest, 5);
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(hooked_, fids) << "the hook was told other points, or in another order";
  }

  const struct {
    const char* name;
    std::int64_t after;
    bool reset;
    std::vector<std::int64_t> ids;
  } cases[] = {
      {"from the start", 0, false, {1, 2, 3, 4, 5}},
      {"after the third", 3, false, {4, 5}},
      {"at the last", 5, false, {}},
      {"beyond the last: another store's id", 9, true, {}},
      {"an id no stream sends", -1, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = reader_->catch_up(c.after, &error);
    ASSERT_TRUE(got) << error;
    EXPECT_EQ(got->reset, c.reset);
    std::vector<std::int64_t> ids;
    for (const auto& e : got->events) ids.push_back(e.id);
    EXPECT_EQ(ids, c.ids);
  }
}

TEST_F(EventSequence, HundredsOfEventsKeepTheirOwnPointsInCommitOrder) {
  // More points than one statement of the reader takes.
  constexpr int units = 24, minutes = 50;
  std::vector<int> each(minutes);
  std::iota(each.begin(), each.end(), 0);
  for (int u = 0; u < units; ++u) {
    store(message("3000340123456" + std::to_string(10 + u), static_cast<std::uint32_t>(u + 1), each));
  }
  std::string error;
  const auto read = reader_->read_since(0, 5000, &error);
  ASSERT_TRUE(read) << error;
  ASSERT_EQ(read->events.size(), static_cast<std::size_t>(units * minutes));
  for (std::size_t i = 0; i < read->events.size(); ++i) {
    const position_event& e = read->events[i];
    const int unit = static_cast<int>(i) / minutes, minute = static_cast<int>(i) % minutes;
    EXPECT_EQ(e.point.modem_id, "3000340123456" + std::to_string(10 + unit)) << i;
    EXPECT_NEAR(e.point.position.latitude, 33 + (minute + 0.1234) / 60, 1e-6) << i;
  }
}

TEST_F(EventSequence, MoreThanTenThousandMissedIsAReset) {
  store(message("300034012345670", 1, {1}));
  {
    std::unique_ptr<GDALDataset> dataset(
        GDALDataset::Open(path_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr));
    ASSERT_NE(dataset, nullptr);
    // 10,000 more events of the one point: 10,001 in all.
    dataset->ExecuteSQL("INSERT INTO position_events (position_fid) WITH RECURSIVE n(i) AS "
                        "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000) SELECT 1 FROM n",
                        nullptr, nullptr);
  }
  std::string error;
  const struct {
    std::int64_t after;
    bool reset;
    std::size_t events;
  } cases[] = {{0, true, 0}, {1, false, 10000}, {10001, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.after);
    const auto got = reader_->catch_up(c.after, &error);
    ASSERT_TRUE(got) << error;
    EXPECT_EQ(got->reset, c.reset);
    EXPECT_EQ(got->events.size(), c.events);
    EXPECT_EQ(got->latest, 10001);
  }
}

TEST_F(EventSequence, StreamsResumeFollowOneUnitAndDropWhoFallsBehind) {
  store(message("300034012345670", 1, {1}));
  std::string error;
  auto stream = event_stream::start(path_, *store_, {}, &error);
  ASSERT_NE(stream, nullptr) << error;
  // Stored while no one watches: those who join later know of it all the same.
  store(message("300034012345671", 2, {2}));
  const http_route route = stream->route();
  struct client_case {
    const char* name;
    std::string target;
    std::string last_event_id;
    std::size_t most_bytes;
    std::vector<std::string> events;  // "kind#id", once the emergency came
  };
  const client_case cases[] = {
      {"new: from now on", "/events", "", SIZE_MAX, {"emergency#3", "position#3"}},
      {"resumes after the first", "/events", "1", SIZE_MAX,
       {"position#2", "emergency#3", "position#3"}},
      {"a page's first connection", "/events?after=0", "", SIZE_MAX,
       {"position#1", "position#2", "emergency#3", "position#3"}},
      {"Last-Event-ID wins over the page's after", "/events?after=0", "2", SIZE_MAX,
       {"emergency#3", "position#3"}},
      {"one unit", "/events?after=0&unit=300034012345671", "", SIZE_MAX, {"position#2"}},
      {"another store's id: afresh, then on", "/events", "77", SIZE_MAX,
       {"reset#2", "emergency#3", "position#3"}},
      {"falls behind", "/events?after=0", "", 40, {}},
  };
  std::vector<std::shared_ptr<recording_exchange>> exchanges;
  for (const auto& c : cases) {
    http_request request;
    request.method = "GET";
    request.target = c.target;
    request.path = "/events";
    if (!c.last_event_id.empty()) request.headers["last-event-id"] = c.last_event_id;
    exchanges.push_back(std::make_shared<recording_exchange>(c.most_bytes));
    route.handler(request, exchanges.back());
  }
  // Every client in before the emergency comes.
  for (int i = 0; i < 100 && stream->clients() < std::size(cases) - 1; ++i) std::this_thread::sleep_for(10ms);
  store(message("300034012345672", 3, {4}, true));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    std::string text;
    if (!cases[i].events.empty()) {
      const std::string& last = cases[i].events.back();
      const std::size_t hash = last.find('#');
      text = exchanges[i]->wait_for("id: " + last.substr(hash + 1) + "\nevent: " + last.substr(0, hash));
    }
    EXPECT_EQ(events_in(text), cases[i].events);
  }
  EXPECT_FALSE(exchanges.back()->open()) << "the client that fell behind was kept";
}

TEST(EventText, OneLineOfJsonPerEventWhateverTheModemIdHolds) {
  const struct {
    const char* name;
    std::string modem_id;
    bool emergency;
    std::string shown_id;
  } cases[] = {
      {"a plain id", "300034012345670", false, "300034012345670"},
      {"an emergency comes first, then its position", "300034012345670", true, "300034012345670"},
      {"a line end cannot end the data line", "unit\n\nevent: reset", false, "unit\n\nevent: reset"},
      {"bytes that are not UTF-8", std::string("id\xff\xfe", 4), false, "id\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"markup stays text", "</script><b>", false, "</script><b>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    position_event event;
    event.id = 42;
    event.position_fid = 7;
    event.point.modem_id = c.modem_id;
    event.point.position.latitude = 33.5;
    event.point.position.longitude = -117.25;
    event.point.position.emergency = c.emergency;
    const std::string text = sse_position_event(event);
    const std::vector<std::string> kinds =
        c.emergency ? std::vector<std::string>{"emergency#42", "position#42"}
                    : std::vector<std::string>{"position#42"};
    EXPECT_EQ(events_in(text), kinds);
    std::size_t blocks = 0;
    for (std::size_t at = 0; (at = text.find("data: ", at)) != std::string::npos; ++blocks) {
      const std::size_t end = text.find('\n', at);
      ASSERT_EQ(text.compare(end, 2, "\n\n"), 0) << "the data spans lines";
      const auto feature = nlohmann::json::parse(text.substr(at + 6, end - at - 6));
      EXPECT_EQ(feature["id"], 7);
      EXPECT_EQ(feature["properties"]["modem_id"], c.shown_id);
      EXPECT_EQ(feature["geometry"]["coordinates"][0], -117.25);
      at = end;
    }
    EXPECT_EQ(blocks, kinds.size());
    EXPECT_EQ(text.find('<'), std::string::npos);
  }
}

TEST(EventText, WhereAClientResumes) {
  const struct {
    const char* name;
    std::string target, last_event_id;
    std::optional<std::int64_t> after;
  } cases[] = {
      {"nothing: from now on", "/events", "", std::nullopt},
      {"Last-Event-ID", "/events", "12", 12},
      {"after=", "/events?after=30", "", 30},
      {"the header wins", "/events?after=30", "12", 12},
      {"an id that is no number", "/events", "12abc", -1},
      {"a negative after", "/events?after=-3", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    http_request request;
    request.target = c.target;
    if (!c.last_event_id.empty()) request.headers["last-event-id"] = c.last_event_id;
    EXPECT_EQ(resume_after(request), c.after);
  }
}

}  // namespace
}  // namespace kaldo::tool::serve
