// Random tracker messages for the tests of the public calls: both report
// layouts, every flag bit, both encodings, mostly plausible field values
// with some out of their natural range and a few that no format can print.
// The generator is seeded, so a failure can be replayed.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kaldo/kaldo.h"

// What the generator put into one report, for checking the decoded values
// against the input rather than against the decoder.
struct generated_report {
  bool real = true;  // its date, time and coordinates name a real instant and place
  bool emergency = false;
};

struct generated_message {
  std::string bytes;
  kaldo::encoding kind = kaldo::encoding::sbd_payload;
  kaldo::settings how;
  std::vector<generated_report> reports;
};

class message_generator {
 public:
  explicit message_generator(std::uint32_t seed) : random_(seed) {}
  generated_message next();

 private:
  int pick(int low, int high);       // uniform in [low, high]
  bool chance(int percent);
  int field(int low, int high, int wide_high, int corrupt_high);
  std::string binary(generated_report& expected, int century);
  std::string packed(generated_report& expected, int century);

  std::mt19937 random_;
};

// Every value of a decoded message as text, doubles to the last bit.
std::string describe(const kaldo::decoded_message& decoded);
