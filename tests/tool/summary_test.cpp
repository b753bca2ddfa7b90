#include "tool/summary.h"

#include <gtest/gtest.h>

namespace kaldo::tool {
namespace {

message_outcome with(message_status status, std::string error = "") {
  message_outcome outcome;
  outcome.status = status;
  outcome.error = std::move(error);
  return outcome;
}

TEST(RunSummary, ExitStatusFollowsTheWorstThatHappened) {
  using s = message_status;
  const struct {
    const char* why;
    std::vector<message_outcome> messages;
    std::vector<skipped_input> skipped;
    int status;
  } cases[] = {
      {"nothing at all", {}, {}, 0},
      {"converted and not position reports", {with(s::converted), with(s::not_position_report)}, {}, 0},
      {"a duplicate is no failure", {with(s::duplicate)}, {}, 0},
      {"files that are not messages", {with(s::converted)}, {{"a.txt", {}, "not a message", false}}, 0},
      {"a failed message", {with(s::converted), with(s::failed, "Invalid Length")}, {}, 1},
      {"an input that cannot be read", {}, {{"x", {}, "cannot read", true}}, 1},
  };
  for (const auto& c : cases) {
    run_summary summary;
    for (const auto& m : c.messages) summary.add(m);
    for (const auto& k : c.skipped) summary.add(k);
    EXPECT_EQ(summary.exit_status(), c.status) << c.why;
  }
  run_summary unwritable;
  message_outcome outcome = with(s::failed, "cannot write");
  outcome.output_not_written = true;
  unwritable.add(outcome);
  EXPECT_EQ(unwritable.exit_status(), 2);
}

TEST(RunSummary, FailuresAndSkipsAreGroupedByTheirText) {
  run_summary summary;
  summary.add(with(message_status::failed, "Invalid Length"));
  summary.add(with(message_status::converted));
  summary.add(with(message_status::failed, "Invalid Length"));
  summary.add(with(message_status::failed, "Corrupt Data: \xe9;"));
  summary.add(skipped_input{"a", {}, "not a message file", false});
  summary.add(skipped_input{"b", {}, "not a message file", false});
  EXPECT_EQ(summary.totals().messages, 4u);
  EXPECT_EQ(summary.totals().failed, 3u);
  EXPECT_EQ(summary.failures().at("Invalid Length"), 2u);
  // Latin-1 from the message, shown as UTF-8.
  EXPECT_EQ(summary.failures().at("Corrupt Data: \xc3\xa9;"), 1u);
  EXPECT_EQ(summary.skip_reasons().at("not a message file"), 2u);
  const std::string text = summary.text();
  EXPECT_NE(text.find("           4  messages found\n"), std::string::npos) << text;
  EXPECT_NE(text.find("               2  Invalid Length\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace kaldo::tool
