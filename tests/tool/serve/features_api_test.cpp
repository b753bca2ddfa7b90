// The API's handlers over a GeoPackage store filled as `kaldo serve` fills
// it: filters, limits, pages that stay whole while points arrive, single
// features, links that carry the token, and what is refused.
#include "tool/serve/features_api.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>

#include "tests/test_support.h"
#include "tests/tool/serve/recording_exchange.h"
#include "tool/serve/store.h"

namespace kaldo::tool::serve {
namespace {

using json = nlohmann::json;

constexpr std::int64_t session_noon = 1211025600;  // 2008-05-17 12:00:00 UTC

// Each unit reports from its own latitude, so that a box picks one.
struct unit {
  const char* imei;
  int latitude;
  int first_minute;
};
const unit units[] = {{"300034012345670", 10, 1}, {"300034012345671", 20, 11}, {"300034012345672", 30, 21}};

received_message report(const unit& u, std::uint32_t momsn, int minute) {
  binary_fields f;
  f.hour = 12;
  f.minute = minute;
  f.second = 0;
  f.millisecond = 0;
  f.lat_degrees = u.latitude;
  f.lat_minutes = minute % 60;
  received_message m;
  m.channel = "directip";
  m.imei = u.imei;
  m.momsn = momsn;
  m.session_time = session_noon + momsn;
  m.payload = make_message(1, {binary_report(f)});
  return m;
}

class FeaturesApi : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/fleet.gpkg";
    std::string error;
    store_ = open_message_store(path_, {}, &error);
    ASSERT_NE(store_, nullptr) << error;
    // Five reports of the first two units, three of the third, and a
    // failed session without payload.
    for (const unit& u : units) {
      const int count = u.latitude == 30 ? 3 : 5;
      for (int i = 0; i < count; ++i) add(report(u, static_cast<std::uint32_t>(i + 1), u.first_minute + i));
    }
    received_message empty = report(units[0], 99, 0);
    empty.payload.reset();
    add(empty);
    api_ = open_features_api({path_, "http"});
  }

  void add(received_message message) {
    const store_result result = store_->store(std::move(message));
    ASSERT_TRUE(result.committed) << result.error;
  }

  http_answer get(const std::string& target, const std::string& authorization = "") {
    http_request request = testing::get_request(target);
    if (!authorization.empty()) request.headers["authorization"] = authorization;
    auto exchange = std::make_shared<testing::recording_exchange>();
    api_->route().handler(request, exchange);
    auto answer = exchange->wait();
    EXPECT_TRUE(answer.has_value()) << target << " was not answered";
    return answer.value_or(http_answer{});
  }

  json get_json(const std::string& target) {
    const http_answer answer = get(target);
    EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
    return json::parse(answer.body, nullptr, false);
  }

  static std::optional<std::string> href(const json& body, const std::string& rel) {
    for (const json& l : body["links"]) {
      if (l["rel"] == rel) return l["href"].get<std::string>();
    }
    return std::nullopt;
  }

  temp_dir dir_;
  std::string path_;
  std::unique_ptr<message_store> store_;
  std::unique_ptr<features_api> api_;
};

TEST_F(FeaturesApi, ItemsFilteredByBoxTimeAndUnit) {
  const std::string items = "/api/collections/positions/items";
  const struct {
    const char* name;
    std::string target;
    int matched;
    std::set<std::string> units;  // the modem ids returned
  } cases[] = {
      {"everything", items, 13, {units[0].imei, units[1].imei, units[2].imei}},
      {"one unit", items + "?modem_id=300034012345671", 5, {units[1].imei}},
      {"no such unit, quoted", items + "?modem_id=x%27%20OR%20%271%27=%271", 0, {}},
      {"a box around one unit's latitude", items + "?bbox=-180,15,180,25", 5, {units[1].imei}},
      {"a box with heights", items + "?bbox=-180,25,-100,180,35,100", 3, {units[2].imei}},
      {"a box crossing the antimeridian", items + "?bbox=170,-90,-170,90", 0, {}},
      {"an interval", items + "?datetime=2008-05-17T12:11:00Z/2008-05-17T12:13:00Z", 3, {units[1].imei}},
      {"open at its start", items + "?datetime=../2008-05-17T12:05:00Z", 5, {units[0].imei}},
      {"open at its end", items + "?datetime=2008-05-17T12:21:00Z/..", 3, {units[2].imei}},
      {"an instant", items + "?datetime=2008-05-17T12:02:00Z", 1, {units[0].imei}},
      {"an instant with an offset", items + "?datetime=2008-05-17T14:02:00%2B02:00", 1, {units[0].imei}},
      {"a whole day", items + "?datetime=2008-05-17", 13, {units[0].imei, units[1].imei, units[2].imei}},
      {"all filters at once", items + "?bbox=-180,0,180,90&datetime=2008-05-17T12:12:00Z/..&modem_id=300034012345671",
       4, {units[1].imei}},
      {"tracks: every line", "/api/collections/tracks/items", 3, {units[0].imei, units[1].imei, units[2].imei}},
      {"tracks: lines that meet an instant", "/api/collections/tracks/items?datetime=2008-05-17T12:12:30Z", 1,
       {units[1].imei}},
      {"tracks: a box", "/api/collections/tracks/items?bbox=-180,25,180,40", 1, {units[2].imei}},
      {"messages, the empty one too", "/api/collections/messages/items?modem_id=300034012345670", 6, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const http_answer answer = get(c.target);
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.content_type, "application/geo+json");
    const json body = json::parse(answer.body);
    EXPECT_EQ(body["type"], "FeatureCollection");
    EXPECT_EQ(body["numberMatched"], c.matched);
    EXPECT_EQ(body["numberReturned"], c.matched);
    EXPECT_TRUE(body.contains("timeStamp"));
    EXPECT_FALSE(href(body, "next").has_value());
    std::set<std::string> seen;
    for (const json& feature : body["features"]) {
      EXPECT_TRUE(feature["id"].is_number_integer());
      if (feature["properties"].contains("modem_id")) {
        seen.insert(feature["properties"]["modem_id"].get<std::string>());
        EXPECT_FALSE(feature["geometry"].is_null());
      } else {
        EXPECT_TRUE(feature["geometry"].is_null()) << "messages have no geometry";
      }
    }
    if (!c.units.empty() || !seen.empty()) {
      EXPECT_EQ(seen, c.units);
    }
  }
}

TEST_F(FeaturesApi, PagesByIdNeitherSkipNorRepeatWhilePointsArrive) {
  std::string next = "/api/collections/positions/items?limit=4&token=s3cret";
  std::vector<std::int64_t> ids;
  int arrived = 0, pages = 0;
  while (!next.empty() && pages < 20) {
    const json page = get_json(next);
    ++pages;
    for (const json& feature : page["features"]) ids.push_back(feature["id"].get<std::int64_t>());
    EXPECT_LE(page["numberReturned"].get<int>(), 4);
    // The token comes back in every link the client may follow.
    for (const json& l : page["links"]) EXPECT_NE(l["href"].get<std::string>().find("token=s3cret"), std::string::npos);
    const auto following = href(page, "next");
    next = following ? following->substr(std::string("http://kaldo.test:8080").size()) : "";
    // Between pages, a late report (earlier in time than all) and a new one.
    if (arrived < 4) {
      add(report(units[2], static_cast<std::uint32_t>(50 + arrived), 40 + arrived));
      add(report(units[0], static_cast<std::uint32_t>(60 + arrived), 0));
      arrived += 2;
    }
  }
  const std::set<std::int64_t> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), ids.size()) << "a feature came twice";
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  const json all = get_json("/api/collections/positions/items?limit=10000");
  EXPECT_EQ(all["numberMatched"].get<std::size_t>(), ids.size()) << "a feature was skipped";
}

TEST_F(FeaturesApi, OneFeatureAndWhatIsNotThere) {
  const json first = get_json("/api/collections/positions/items?limit=1");
  const std::int64_t id = first["features"][0]["id"];
  const json one = get_json("/api/collections/positions/items/" + std::to_string(id));
  EXPECT_EQ(one["properties"], first["features"][0]["properties"]);
  EXPECT_EQ(one["geometry"], first["features"][0]["geometry"]);
  EXPECT_EQ(href(one, "self"), "http://kaldo.test:8080/api/collections/positions/items/" + std::to_string(id));

  const struct {
    std::string target;
    int status;
  } cases[] = {
      {"/api/collections/positions/items/999999", 404},
      {"/api/collections/positions/items/abc", 404},
      {"/api/collections/nowhere/items", 404},
      {"/api/collections/positions/other", 404},
      {"/api/elsewhere", 404},
      {"/api/collections/positions/items?limit=0", 400},
      {"/api/collections/positions/items?limit=many", 400},
      {"/api/collections/positions/items?limit=5&limit=6", 400},
      {"/api/collections/positions/items?bbox=1,2,3", 400},
      {"/api/collections/positions/items?bbox=0,50,10,40", 400},
      {"/api/collections/positions/items?datetime=yesterday", 400},
      {"/api/collections/positions/items?datetime=2008-05-18T00:00:00Z/2008-05-17T00:00:00Z", 400},
      {"/api/collections/positions/items?datetime=2008-02-30T00:00:00Z", 400},
      {"/api/collections/positions/items?modem=300034012345670", 400},
      {"/api/collections/positions/items?limit=20000", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const http_answer answer = get(c.target);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_TRUE(json::accept(answer.body));
  }
}

TEST_F(FeaturesApi, LandingPageConformanceDefinitionAndCollections) {
  const json landing = get_json("/api");
  for (const char* rel : {"self", "service-desc", "conformance", "data"}) {
    EXPECT_TRUE(href(landing, rel).has_value()) << rel;
  }
  EXPECT_EQ(href(landing, "service-desc"), "http://kaldo.test:8080/api/openapi");
  const http_answer definition = get("/api/openapi");
  EXPECT_EQ(definition.content_type, "application/vnd.oai.openapi+json;version=3.0");
  const json openapi = json::parse(definition.body);
  EXPECT_EQ(openapi["openapi"].get<std::string>().substr(0, 2), "3.");
  EXPECT_TRUE(openapi["paths"].contains("/collections/{collectionId}/items"));
  EXPECT_EQ(get_json("/api/conformance")["conformsTo"].size(), 3u);
  const json list = get_json("/api/collections");
  std::vector<std::string> ids;
  for (const json& c : list["collections"]) ids.push_back(c["id"]);
  EXPECT_EQ(ids, (std::vector<std::string>{"positions", "tracks", "messages"}));
  EXPECT_EQ(get_json("/api/collections/messages")["id"], "messages");
}

}  // namespace
}  // namespace kaldo::tool::serve
