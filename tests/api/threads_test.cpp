// The public calls on several threads at once: each thread's results must
// equal those of one thread alone, call for call.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kaldo/kaldo.h"
#include "tests/api/message_generator.h"

namespace {

constexpr int thread_count = 4;

struct run_input {
  std::string bytes;
  kaldo::encoding kind;
  kaldo::settings how;
};

// Everything one message gives: the texts of three formats and the typed
// decoding.
std::string results_of(const run_input& in) {
  kaldo::message msg;
  msg.bytes = in.bytes;
  msg.kind = in.kind;
  std::string all;
  for (const int format : {1, 7, 10}) {
    kaldo::settings how = in.how;
    how.format = format;
    all += kaldo::convert_message(msg, how).printed();
    all += '\0';
  }
  return all + describe(kaldo::decode_message(msg, in.how));
}

}  // namespace

TEST(Threads, ConversionsAndDecodingsOnFourThreadsEqualOneThread) {
  message_generator generator(77);
  std::vector<run_input> inputs;
  for (int i = 0; i < 400; ++i) {
    generated_message m = generator.next();
    inputs.push_back({std::move(m.bytes), m.kind, std::move(m.how)});
  }
  std::vector<std::string> alone;
  for (const run_input& in : inputs) alone.push_back(results_of(in));

  // Each thread starts at a different message so that the threads work on
  // different messages and on the same ones at once.
  std::vector<std::vector<std::string>> seen(thread_count);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      const std::size_t n = inputs.size();
      seen[t].resize(n);
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = (k + static_cast<std::size_t>(t) * n / thread_count) % n;
        seen[t][i] = results_of(inputs[i]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < thread_count; ++t) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      ASSERT_EQ(seen[t][i], alone[i]) << "thread " << t << ", message " << i;
    }
  }
}
