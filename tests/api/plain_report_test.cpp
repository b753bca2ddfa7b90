// The typed decoding reads plain reports straight from their bytes and all
// others through the decoder's field texts. Both ways must give the same
// values to the last bit, the same problems and the same failures.
#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <string>

#include "api/plain_report.h"
#include "kaldo/kaldo.h"
#include "tests/api/message_generator.h"

namespace {

void expect_same_both_ways(const kaldo::message& msg, const kaldo::settings& how,
                           int& positions) {
  const kaldo::decoded_message fast = kaldo::decode_message(msg, how);
  const kaldo::decoded_message reference =
      kaldo::detail::decode_message_through_fields(msg, how);
  ASSERT_EQ(describe(fast), describe(reference));
  for (const kaldo::report& r : fast.reports) positions += r.position ? 1 : 0;
}

// Reports of ordinary values with, now and then, a field at an edge of
// what is checked: the last real hour, minute or day of the month, the
// last degree of latitude or longitude, a packed digit pair of 100, the
// milliseconds at which rounding to hundredths carries, an altitude or
// speed with more whole digits than its digit string.
class edge_reports {
 public:
  explicit edge_reports(std::uint32_t seed) : random_(seed) {}

  // The bytes of a message of one to three reports.
  std::string next(kaldo::settings& how) {
    static const int types[] = {1, 2, 3, 103};
    const int type = types[pick(0, 3)];
    const int count = pick(1, 3);
    std::string bytes;
    bytes += static_cast<char>(type);
    bytes += static_cast<char>(count);
    for (int i = 0; i < count; ++i) bytes += type >= 3 ? packed() : binary();
    bytes += "300234010123450";
    how.century = pick(0, 3) == 0 ? "19" : "20";
    return bytes;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  // Mostly in [low, high], sometimes one of the edges.
  int field(int low, int high, std::initializer_list<int> edges) {
    if (pick(0, 19) != 0) return pick(low, high);
    return *(edges.begin() + pick(0, static_cast<int>(edges.size()) - 1));
  }
  static void put16(std::string& r, int at, int value) {
    r[static_cast<std::size_t>(at)] = static_cast<char>(value & 0xFF);
    r[static_cast<std::size_t>(at) + 1] = static_cast<char>(value >> 8);
  }
  static void put(std::string& r, int at, int value) {
    r[static_cast<std::size_t>(at)] = static_cast<char>(value);
  }

  std::string binary() {
    std::string r(28, '\0');
    put(r, 0, field(0, 23, {24, 99, 100}));
    put(r, 1, field(0, 59, {60, 99, 100}));
    put(r, 2, field(0, 59, {60, 100}));
    put16(r, 3, field(0, 994, {995, 999, 1000, 65535}));
    put(r, 5, field(0, 99, {100, 255}));
    put(r, 6, field(1, 12, {0, 13}));
    put(r, 7, field(1, 28, {0, 29, 30, 31, 32}));
    put(r, 8, field(0, 89, {90, 91, 99, 100}));
    put(r, 9, field(0, 59, {60}));
    put16(r, 10, field(0, 9999, {10000, 65535}));
    put(r, 12, field(0, 179, {180, 181, 255}));
    put(r, 13, field(0, 59, {60}));
    put16(r, 14, field(0, 9999, {10000}));
    put(r, 16, field(0, 12, {99, 100}));
    put16(r, 17, pick(0, 65535));
    put16(r, 19, field(10, 65535, {0, 9, 10, 100, 1000}));
    put(r, 21, pick(0, 255));
    put16(r, 22, pick(0, 65535));
    put(r, 24, pick(0, 255));
    put16(r, 25, field(0, 35999, {65535}));
    // Every flag; a valid-looking position at the edges (0:00.0 at 90 and
    // 180 degrees) comes from the fractions' low end.
    put(r, 27, pick(0, 255));
    return r;
  }

  std::string packed() {
    std::string r(28, '\0');
    put(r, 0, 10 * field(0, 23, {24, 25}) + pick(0, 9));
    put(r, 1, field(0, 59, {60, 99, 100}));
    put(r, 2, 64 * pick(0, 3) + field(0, 59, {60, 63}));
    put(r, 3, 128 * pick(0, 1) + field(0, 99, {100, 127}));
    put(r, 4, 10 * field(1, 12, {0, 13, 25}) + pick(0, 5));
    put(r, 5, field(1, 28, {0, 29, 30, 31, 32}));
    put(r, 6, field(0, 89, {90, 91, 99, 100}));
    put(r, 7, field(0, 59, {60, 99, 100}));
    put(r, 8, field(0, 179, {180, 181, 255}));
    put(r, 9, field(0, 59, {60}));
    for (const int n : {10, 11, 13, 14, 17, 18, 19, 21, 22, 23, 24}) {
      put(r, n, field(0, 99, {100, 255}));
    }
    put(r, 12, field(0, 99, {100, 255}));
    put(r, 15, field(0, 129, {255}));
    put(r, 16, 10 * field(0, 7, {8, 25}) + pick(0, 9));
    put(r, 20, 10 * field(0, 5, {6, 25}) + pick(0, 5));
    put16(r, 25, field(0, 35999, {65535}));
    put(r, 27, pick(0, 255));
    return r;
  }

  std::mt19937 random_;
};

}  // namespace

TEST(PlainReports, AgreeWithTheFieldTextsOnGeneratedMessages) {
  message_generator generator(20261209);
  int positions = 0;
  for (int n = 0; n < 4000; ++n) {
    const generated_message m = generator.next();
    kaldo::message msg;
    msg.bytes = m.bytes;
    msg.kind = m.kind;
    SCOPED_TRACE("message " + std::to_string(n));
    expect_same_both_ways(msg, m.how, positions);
    if (testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(positions, 2000);
}

TEST(PlainReports, AgreeWithTheFieldTextsAtTheEdgesOfEveryField) {
  edge_reports edges(7);
  int positions = 0;
  for (int n = 0; n < 100000; ++n) {
    kaldo::settings how;
    const std::string bytes = edges.next(how);
    kaldo::message msg;
    msg.bytes = bytes;
    SCOPED_TRACE("message " + std::to_string(n));
    expect_same_both_ways(msg, how, positions);
    if (testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(positions, 50000);
}
