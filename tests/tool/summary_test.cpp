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
      {"nothing at all: nothing was done", {}, {}, 1},
      {"only files that are not messages", {}, {{"a.txt", {}, "not a message", false}}, 1},
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

TEST(RunSummary, EachGroupNamesItsFirstInputsAndCountsTheRest) {
  run_summary summary;
  for (int i = 1; i <= 5; ++i) {
    message_outcome failed = with(message_status::failed, "Invalid Length");
    failed.origin = file_origin("box.mbox", i);
    summary.add(failed);
  }
  message_outcome once = with(message_status::failed, "Invalid Format");
  once.origin = file_origin("in/caf\xe9.eml");
  summary.add(once);
  summary.add(skipped_input{"in/broken.mbox", 7, "broken e-mail", true});
  const std::string text = summary.text();
  const std::string indent(20, ' ');
  EXPECT_NE(text.find("               5  Invalid Length\n" + indent + "box.mbox#1\n" + indent + "box.mbox#2\n" +
                      indent + "box.mbox#3\n" + indent + "... and 2 more (see --report)\n"),
            std::string::npos)
      << text;
  // Names are shown as UTF-8, whatever bytes the file system holds.
  EXPECT_NE(text.find("               1  Invalid Format\n" + indent + "in/caf\xEF\xBF\xBD.eml\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("               1  broken e-mail\n" + indent + "in/broken.mbox#7\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("box.mbox#4"), std::string::npos) << text;
}

}  // namespace
}  // namespace kaldo::tool
