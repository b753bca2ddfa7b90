#include "tool/report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

TEST(RunReport, OneValidJsonObjectWhateverBytesTheMessagesCarry) {
  temp_dir folder;
  const std::string path = folder.path() + "/report.json";
  std::string error;
  auto report = run_report::create(path, &error);
  ASSERT_TRUE(report) << error;
  run_summary summary;

  message_outcome converted;
  converted.number = 1;
  converted.origin = file_origin("archive/caf\xe9.mbox", 3, "300234010123450_000123.sbd");  // not UTF-8
  converted.modem_id = "Unit \xe9\"\\\x01";  // Latin-1 from a message tail
  converted.output = "out/300234010123450_000123.sbd.txt";
  converted.status = message_status::converted;
  message_outcome failed;
  failed.number = 2;
  failed.origin = file_origin("a/1_2.sbd");
  failed.output = "out/1_2.sbd.txt";
  failed.status = message_status::failed;
  failed.error = "Invalid Length";
  message_outcome duplicate;
  duplicate.number = 3;
  duplicate.origin = file_origin("a/1_2.sbd");
  duplicate.status = message_status::duplicate;
  duplicate.duplicate_of = 2;
  const skipped_input skipped{"a/notes\xff.txt", {}, "not a message file", false};
  for (const message_outcome* m : {&converted, &failed, &duplicate}) {
    report->add(*m);
    summary.add(*m);
  }
  report->add(skipped);
  summary.add(skipped);
  ASSERT_TRUE(report->finish(summary, {}, &error)) << error;

  const nlohmann::json json = nlohmann::json::parse(read_file(path));
  ASSERT_EQ(json["messages"].size(), 3u);
  const auto& first = json["messages"][0];
  EXPECT_EQ(first["source"], "archive/caf\xef\xbf\xbd.mbox");
  EXPECT_EQ(first["index"], 3);
  EXPECT_EQ(first["part"], "300234010123450_000123.sbd");
  EXPECT_EQ(first["modem_id"], "Unit \xc3\xa9\"\\\x01");
  EXPECT_EQ(first["status"], "converted");
  EXPECT_TRUE(first["error"].is_null());
  const auto& second = json["messages"][1];
  EXPECT_TRUE(second["index"].is_null());
  EXPECT_TRUE(second["part"].is_null());
  EXPECT_TRUE(second["modem_id"].is_null());
  EXPECT_EQ(second["status"], "failed");
  EXPECT_EQ(second["error"], "Invalid Length");
  EXPECT_EQ(json["messages"][2]["status"], "duplicate");
  EXPECT_TRUE(json["messages"][2]["output"].is_null());
  EXPECT_EQ(json["messages"][2]["duplicate_of"], 2);
  ASSERT_EQ(json["skipped"].size(), 1u);
  EXPECT_EQ(json["skipped"][0]["reason"], "not a message file");
  EXPECT_EQ(json["totals"]["messages"], 3);
  EXPECT_EQ(json["totals"]["failed"], 1);
  EXPECT_EQ(json["totals"]["duplicate"], 1);
  EXPECT_EQ(json["totals"]["skipped"], 1);
  EXPECT_EQ(json["totals"]["failures"]["Invalid Length"], 1);
}

TEST(RunReport, AReportThatCannotBeWrittenSaysWhy) {
  std::string error;
  EXPECT_FALSE(run_report::create("/nonexistent/folder/report.json", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kaldo::tool::testing
