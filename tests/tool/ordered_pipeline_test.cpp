#include "tool/ordered_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>

namespace kaldo::tool {
namespace {

TEST(OrderedPipeline, ResultsArriveInPushOrderForEveryNumberOfWorkers) {
  for (unsigned workers : {1u, 2u, 4u, 8u}) {
    std::vector<int> delivered;
    {
      ordered_pipeline<int, int> pipeline(
          workers,
          [](int& n) {
            // Uneven work, so that later items often finish first.
            std::this_thread::sleep_for(std::chrono::microseconds((n * 7919) % 13 * 50));
            return n * 2;
          },
          [&](int& result) { delivered.push_back(result); }, 16);
      for (int n = 0; n < 500; ++n) pipeline.push(n, 1);
      pipeline.finish();
    }
    ASSERT_EQ(delivered.size(), 500u) << workers << " workers";
    for (int n = 0; n < 500; ++n) ASSERT_EQ(delivered[n], 2 * n) << workers << " workers";
  }
}

TEST(OrderedPipeline, TheWindowBoundsWhatIsInFlight) {
  std::atomic<int> in_flight{0};
  std::atomic<int> most{0};
  ordered_pipeline<int, int> pipeline(
      4,
      [&](int& n) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        return n;
      },
      [&](int&) { --in_flight; }, 8, 100);
  for (int n = 0; n < 200; ++n) {
    // Half the items weigh 40 bytes: at most two of those fit the 100.
    pipeline.push(n, n % 2 ? 40 : 1);
    const int now = ++in_flight;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
  }
  pipeline.finish();
  EXPECT_LE(most.load(), 8);
  EXPECT_EQ(in_flight.load(), 0);
}

}  // namespace
}  // namespace kaldo::tool
