// Emergency alerts: what an alert says (its JSON, its variables, its keys),
// how long it waits between attempts, how a program is run (input,
// variables, failure, timeout, a program that reads nothing), which URLs
// are taken, and the claims in the store (one per report and target,
// taken over only from an owner that left).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <ogrsf_frmts.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/test_support.h"
#include "tool/outputs/ogr_session.h"
#include "tool/serve/alert_claims.h"
#include "tool/serve/alert_message.h"
#include "tool/serve/alert_post.h"
#include "tool/serve/alert_program.h"
#include "tool/serve/store_dataset.h"

namespace kaldo::tool::serve {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

track_point emergency_point() {
  track_point p;
  p.modem_id = "300034012345670";
  p.position.time = kaldo::utc_time{sys_days{2008y / 5 / 17} + 12h + 30min + 5s + 250ms};
  p.position.latitude = 33.75;
  p.position.longitude = -117.5;
  p.position.altitude_m = 123.5;
  p.position.speed_kmh = 12.25;
  p.position.course_deg = 45.5;
  p.position.satellites = 9;
  p.position.fix = kaldo::fix_state::fix_3d;
  p.position.emergency = true;
  p.message_type = 3;
  p.source = "300034012345670_7.sbd";
  return p;
}

TEST(AlertMessage, JsonHoldsTheFieldsOfThePositionsLayer) {
  struct json_case {
    const char* name;
    void (*change)(track_point&);
    const char* json;
  };
  const json_case cases[] = {
      {"a packed emergency report", [](track_point&) {},
       R"({"modem_id":"300034012345670","time":"2008-05-17T12:30:05.250Z","latitude":33.75,)"
       R"("longitude":-117.5,"altitude_m":123.5,"speed_kmh":12.25,"course_deg":45.5,)"
       R"("vertical_velocity_ms":null,"satellites":9,"fix":"3d","emergency":1,"message_type":3,)"
       R"("source":"300034012345670_7.sbd"})"},
      {"quotes and line ends in the modem id are escaped, a vertical velocity is a number",
       [](track_point& p) {
         p.modem_id = "unit \"7\"\n";
         p.position.vertical_velocity_ms = -1.5;
       },
       R"({"modem_id":"unit \"7\"\n","time":"2008-05-17T12:30:05.250Z","latitude":33.75,)"
       R"("longitude":-117.5,"altitude_m":123.5,"speed_kmh":12.25,"course_deg":45.5,)"
       R"("vertical_velocity_ms":-1.5,"satellites":9,"fix":"3d","emergency":1,"message_type":3,)"
       R"("source":"300034012345670_7.sbd"})"},
  };
  for (const json_case& c : cases) {
    track_point p = emergency_point();
    c.change(p);
    EXPECT_EQ(alert_json(p), c.json) << c.name;
  }
}

TEST(AlertMessage, EnvironmentNamesTheReportInFourVariables) {
  struct environment_case {
    const char* name;
    std::string modem_id;
    double latitude, longitude;
    std::vector<std::string> expected;
  };
  const environment_case cases[] = {
      {"numbers in their shortest exact form", "300034012345670", 51.4755, -0.1,
       {"KALDO_MODEM_ID=300034012345670", "KALDO_TIME=2008-05-17T12:30:05.250Z",
        "KALDO_LATITUDE=51.4755", "KALDO_LONGITUDE=-0.1"}},
      {"a NUL cannot end the entry early, negative zero is zero", std::string("ab\0cd", 5), -0.0,
       0.1 + 0.2,
       {"KALDO_MODEM_ID=ab", "KALDO_TIME=2008-05-17T12:30:05.250Z", "KALDO_LATITUDE=0",
        "KALDO_LONGITUDE=0.30000000000000004"}},
  };
  for (const environment_case& c : cases) {
    EXPECT_EQ(alert_environment(c.modem_id, "2008-05-17T12:30:05.250Z", c.latitude, c.longitude),
              c.expected)
        << c.name;
  }
}

TEST(AlertMessage, IdempotencyKeyFollowsTheFourValuesThatMakeAReportOne) {
  struct key_case {
    const char* name;
    void (*change)(track_point&);
    bool same;
  };
  const key_case cases[] = {
      {"another altitude, speed and source: the same report", [](track_point& p) {
         p.position.altitude_m = 900;
         p.position.speed_kmh = 0;
         p.source = "other.sbd";
       }, true},
      {"negative zero is the place zero is", [](track_point& p) { p.position.longitude = -0.0; },
       true},
      {"another modem", [](track_point& p) { p.modem_id = "300034012345671"; }, false},
      {"a millisecond later", [](track_point& p) { p.position.time += 1ms; }, false},
      {"the latitude's last bit", [](track_point& p) {
         p.position.latitude = std::nextafter(p.position.latitude, 90.0);
       }, false},
      {"another longitude", [](track_point& p) { p.position.longitude = 117.5; }, false},
  };
  track_point base = emergency_point();
  base.position.longitude = 0.0;
  const std::string key = idempotency_key(alert_key(base));
  EXPECT_EQ(key.size(), 64u);
  EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
  for (const key_case& c : cases) {
    track_point p = base;
    c.change(p);
    EXPECT_EQ(idempotency_key(alert_key(p)) == key, c.same) << c.name;
  }
}

TEST(AlertMessage, BackoffDoublesFromASecondUpToFiveMinutes) {
  const std::pair<int, seconds> schedule[] = {
      {0, 0s}, {1, 1s}, {2, 2s}, {3, 4s}, {6, 32s}, {9, 256s}, {10, 300s}, {64, 300s}, {INT_MAX, 300s},
  };
  for (const auto& [failures, wait] : schedule) {
    EXPECT_EQ(alert_backoff(failures), wait) << failures << " failures";
  }
  // The attempts of one hour: about twenty, not thousands.
  seconds total{0};
  int attempts = 0;
  while (total < 3600s) total += alert_backoff(++attempts);
  EXPECT_LT(attempts, 25);
}

TEST(AlertProgram, RunsWithoutAShellWithTheReportOnItsInputAndATimeout) {
  temp_dir dir;
  const std::string seen = dir.path() + "/seen";
  // A descriptor of the receiver's that is not close-on-exec, as Asio's
  // sockets are not.
  const int held = open("/dev/null", O_RDONLY);
  struct program_case {
    const char* name;
    std::string script;
    std::string input;
    milliseconds timeout;
    bool succeeds;
    const char* error;  // a part of the reason
    std::string written;
  };
  const program_case cases[] = {
      {"input and variables reach it", "{ printf '%s|%s|' \"$KALDO_MODEM_ID\" \"$KALDO_LATITUDE\"; cat; } > " + seen,
       "{\"a\":1}", 5s, true, "", "unit 7|33.75|{\"a\":1}"},
      {"the receiver's descriptors stay its own",
       "test ! -e /proc/$$/fd/" + std::to_string(held), "{}", 5s, true, "", ""},
      {"a status other than 0 fails", "exit 3", "{}", 5s, false, "exited with status 3", ""},
      {"killed by a signal fails", "kill -TERM $$", "{}", 5s, false, "ended by signal", ""},
      {"one that reads nothing of a large input does not end the receiver", "exit 0",
       std::string(1 << 20, 'x'), 5s, true, "", ""},
      {"past its timeout it is killed with what it started",
       "sleep 30 & echo $! > " + seen + "; wait", "{}", 300ms, false, "did not finish", ""},
  };
  for (const program_case& c : cases) {
    std::filesystem::remove(seen);
    const std::string path = dir.write("alert.sh", "#!/bin/sh\n" + c.script + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    const auto began = steady_clock::now();
    const program_outcome outcome = run_alert_program(
        path, c.input, {"KALDO_MODEM_ID=unit 7", "KALDO_LATITUDE=33.75"}, c.timeout);
    EXPECT_LT(steady_clock::now() - began, 3s) << c.name;
    EXPECT_EQ(outcome.succeeded, c.succeeds) << c.name << ": " << outcome.error;
    EXPECT_NE(outcome.error.find(c.error), std::string::npos) << c.name << ": " << outcome.error;
    if (!c.written.empty()) {
      EXPECT_EQ(read_file(seen), c.written) << c.name;
    }
    if (std::string(c.error) == "did not finish") {
      // What it started went with it (gone, or a zombie left to reap).
      std::this_thread::sleep_for(100ms);
      const std::string pid = read_file(seen).substr(0, read_file(seen).find('\n'));
      const std::string stat = std::filesystem::exists("/proc/" + pid + "/stat")
                                   ? read_file("/proc/" + pid + "/stat")
                                   : "";
      const auto state = stat.rfind(')');
      EXPECT_TRUE(stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z'))
          << c.name << ": " << stat;
    }
  }
  close(held);
  const program_outcome missing = run_alert_program(dir.path() + "/none", "{}", {}, 1s);
  EXPECT_FALSE(missing.succeeded);
  EXPECT_NE(missing.error.find("cannot run"), std::string::npos) << missing.error;
}

TEST(AlertPost, TakesHttpAndHttpsAddressesOnlyAndSaysWhyNotDelivered) {
  const std::pair<const char*, bool> urls[] = {
      {"http://127.0.0.1:8080/alerts", true}, {"https://alerts.example.org/hook?x=1", true},
      {"ftp://example.org/x", false},         {"file:///etc/passwd", false},
      {"not a url", false},
  };
  for (const auto& [url, usable] : urls) {
    std::string error;
    EXPECT_EQ(usable_alert_url(url, &error), usable) << url << ": " << error;
  }
  // A port nobody listens on (port 1 on loopback): not delivered, with why.
  const post_outcome outcome = post_alert("http://127.0.0.1:1/", "{}", "k", 2s);
  EXPECT_FALSE(outcome.delivered);
  EXPECT_FALSE(outcome.error.empty());
}

class AlertClaims : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store_ = open_store_dataset(dir_.path() + "/fleet.gpkg", &error);
    ASSERT_NE(store_, nullptr) << error;
  }
  long long count(const std::string& where) {
    OGRLayer* result = store_->dataset->ExecuteSQL(
        ("SELECT count(*) FROM alerts WHERE " + where).c_str(), nullptr, nullptr);
    std::unique_ptr<OGRFeature> row(result->GetNextFeature());
    const long long n = row->GetFieldAsInteger64(0);
    store_->dataset->ReleaseResultSet(result);
    return n;
  }
  gdal_messages quiet_{false};
  temp_dir dir_;
  std::unique_ptr<store_dataset> store_;
};

TEST_F(AlertClaims, OneClaimPerReportAndTargetHoweverOftenClaimed) {
  std::string error;
  GDALDataset& db = *store_->dataset;
  ASSERT_TRUE(ensure_alerts_table(db, false, &error)) << "twice is harmless: " << error;
  const track_point p = emergency_point();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(claim_alerts(db, false, p, {"program", "url"}, i == 0 ? "a/1/1" : "b/2/2", &error))
        << error;
  }
  EXPECT_EQ(count("1 = 1"), 2);
  EXPECT_EQ(count("owner = 'a/1/1' AND state = 'pending'"), 2);
}

TEST_F(AlertClaims, TakenOverOnlyFromAnOwnerThatLeft) {
  std::string error;
  GDALDataset& db = *store_->dataset;
  const std::int64_t now =
      duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string here = host;
  struct owner_case {
    const char* name;
    std::string owner;
    std::int64_t lease_until;
    bool taken;
  };
  const owner_case cases[] = {
      {"a living owner with its lease", here + "/" + std::to_string(getppid()) + "/1", now + 60,
       false},
      {"a lease run out", "elsewhere/1/1", now - 1, true},
      {"a lease given up at a clean stop", "elsewhere/2/2", 0, true},
      {"an owner on this machine that is gone", here + "/" + std::to_string(INT_MAX) + "/1",
       now + 60, true},
      {"an owner elsewhere, within its lease", "elsewhere/3/3", now + 60, false},
  };
  track_point p = emergency_point();
  for (const owner_case& c : cases) {
    p.position.time += 1s;
    ASSERT_TRUE(claim_alerts(db, false, p, {"url"}, c.owner, &error)) << error;
    ASSERT_TRUE(execute_sql(db,
                            "UPDATE alerts SET lease_until = " + std::to_string(c.lease_until) +
                                " WHERE alert_key = " + sql_literal(alert_key(p)),
                            &error))
        << error;
  }
  alert_ledger ledger(db, false, "url", "me/1/1");
  const std::vector<claimed_alert> taken = ledger.take_over(now, &error);
  EXPECT_TRUE(error.empty()) << error;
  p = emergency_point();
  for (const owner_case& c : cases) {
    p.position.time += 1s;
    bool found = false;
    for (const claimed_alert& a : taken) found = found || a.key == alert_key(p);
    EXPECT_EQ(found, c.taken) << c.name;
  }
  // Sent is sent: not pending again, for this owner or another.
  ASSERT_FALSE(taken.empty());
  ASSERT_TRUE(ledger.mark_sent(taken.front().key, 1, &error)) << error;
  ASSERT_TRUE(ledger.release(&error)) << error;
  alert_ledger later(db, false, "url", "me-again/1/1");
  for (const claimed_alert& a : later.take_over(now, &error)) EXPECT_NE(a.key, taken.front().key);
  EXPECT_EQ(count("state = 'sent'"), 1);
}

}  // namespace
}  // namespace kaldo::tool::serve
