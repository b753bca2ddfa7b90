#include "tool/progress.h"

#include <gtest/gtest.h>

namespace kaldo::tool {
namespace {

TEST(ProgressLine, SaysHowFarAndWhatFailedWhereItCanTell) {
  const struct {
    const char* why;
    std::uint64_t messages, failed, read, total;
    double elapsed;
    std::string text;
  } cases[] = {
      {"total known", 1200, 3, 500'000, 2'000'000, 10, "1200 messages, 3 failed, 25% of 2.0 MB read, 120/s, 0:10 elapsed, about 0:30 left"},
      {"no failures yet", 10, 0, 1'000'000, 1'000'000, 2, "10 messages, 100% of 1.0 MB read, 5/s, 0:02 elapsed, about 0:00 left"},
      {"total not yet known", 7, 1, 100, 0, 0, "7 messages, 1 failed, 0/s, 0:00 elapsed"},
      {"nothing read yet", 0, 0, 0, 5'000'000, 1, "0 messages, 0% of 5.0 MB read, 0/s, 0:01 elapsed"},
      {"more read than the walk counted", 3, 0, 900, 800, 1, "3 messages, 3/s, 0:01 elapsed"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(progress_text(c.messages, c.failed, c.read, c.total, c.elapsed), c.text) << c.why;
  }
}

}  // namespace
}  // namespace kaldo::tool
