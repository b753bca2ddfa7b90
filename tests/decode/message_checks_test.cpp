#include "decode/message_checks.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

using namespace kaldo::detail;

namespace {

const std::string remote_update = "This is a Remote Update Response not a GPS Report.\r\n";
const std::string chat = "This is a Chat Message not a GPS Report.\r\n";
const std::string chat_response = "This is a Chat Message Response not a GPS Report.\r\n";
const std::string too_short = "Less than Minimum Length\r\n";
const std::string bad_length = "Invalid Length\r\n";
const std::string bad_format = "Invalid Format\r\n";

// A message of `length` bytes with the type and count bytes given.
std::string sized(int type, int count, std::size_t length, char fill = 0) {
  std::string m(length, fill);
  if (length > 0) m[0] = static_cast<char>(type);
  if (length > 1) m[1] = static_cast<char>(count);
  return m;
}

std::string hex_of(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

}  // namespace

TEST(MessageChecks, SbdPayloads) {
  struct row {
    const char* name;
    std::string payload;
    std::string out;
  };
  const row rows[] = {
      {"Updated", "Updated", remote_update},
      {"Failed", "Failed", remote_update},
      {"Updated up to a NUL byte", std::string("Updated\0xyz", 11), remote_update},
      {"Updated followed by more text", "Updated!", too_short},
      {"50 bytes beginning with 1", sized('1', 1, 50), remote_update},
      {"50 bytes beginning with 0", sized('0', 1, 50), remote_update},
      {"one byte 1", "1", remote_update},
      {"17 bytes beginning with v", sized('v', 0, 17), remote_update},
      {"32 bytes beginning with v", sized('v', 0, 32), remote_update},
      {"33 bytes beginning with v", sized('v', 0, 33), bad_format},
      {"any length beginning with tr", "tr", remote_update},
      {"empty", "", too_short},
      {"29 bytes", sized(1, 1, 29), too_short},
      {"50 bytes, count 2", sized(1, 2, 50), bad_length},
      {"99 bytes, count 1", sized(4, 1, 99), bad_format},
      {"100 bytes, count 1", sized(1, 1, 100), bad_length},
      {"100 bytes, count 2", sized(4, 2, 100), bad_format},
      {"type 0 after the length checks", sized(0, 1, 30), bad_format},
      {"type 4", sized(4, 1, 30), bad_format},
  };
  for (const row& r : rows) {
    const auto d = decode_with(r.payload, 7);
    EXPECT_EQ(d.result, -1) << r.name;
    EXPECT_EQ(d.out, r.out) << r.name;
  }
}

TEST(MessageChecks, AcceptedTypesAndLengths) {
  // A count of 0 with 30 to 71 bytes passes and gives only the framing.
  for (int type : {1, 2, 3, 103}) {
    for (std::size_t length : {30u, 71u}) {
      const auto d = decode_with(sized(type, 0, length, 0), 3);
      EXPECT_EQ(d.result, 0) << type << " " << length;
      EXPECT_EQ(d.out, "\r\n");
    }
  }
  EXPECT_EQ(decode_with(sized(1, 0, 72), 3).out, bad_length);
}

TEST(MessageChecks, SmsTexts) {
  const std::string report = hex_of(packed_report({}));
  struct row {
    const char* name;
    std::string text;
    int result;
    std::string out_begins;
  };
  std::string lower = "g1" + report;
  const std::size_t letter = lower.find_first_of("ABCDEF", 2);
  lower[letter] = static_cast<char>(lower[letter] - 'A' + 'a');
  const row rows[] = {
      {"tr", "tr", -1, remote_update},
      {"s", "s", -1, chat},
      {"r", "rxx", -1, chat_response},
      {"t then other", "tx" + std::string(40, '0'), -1, too_short},
      {"NUL inside", std::string("g1\0", 3), -1, "Invalid Length"},
      {"empty", "", -1, too_short},
      {"29 characters", std::string(29, '0'), -1, too_short},
      {"57 characters", std::string(57, '0'), -1, too_short},
      {"a lower-case hex digit", lower, -1, bad_format},
      {"a non-hex character", "g1" + std::string(55, '0') + "G", -1, bad_format},
      {"one report of type 103", "g1" + report, 0, "ModemID=No ModemID\r\n"},
      {"with the longest tail", "g1" + report + std::string(69, 'x'), 0, "ModemID="},
      {"one byte too long", "g1" + report + std::string(70, 'x'), -1, bad_length},
      {"count digit 0", "g0" + report, 0, "ModemID="},
  };
  for (const row& r : rows) {
    const auto d = decode_with(r.text, 2, 2);
    EXPECT_EQ(d.result, r.result) << r.name;
    EXPECT_EQ(d.out.substr(0, r.out_begins.size()), r.out_begins) << r.name;
    if (r.result < 0) {
      EXPECT_EQ(d.out, r.out_begins) << r.name;
    }
  }
}
