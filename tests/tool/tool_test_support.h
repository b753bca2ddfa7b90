// Shared by kaldo's tests: the generated fixtures and a sink that keeps
// what a walk finds.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tool/sources/source.h"

namespace kaldo::tool::testing {

// A fixture written by make_archive.py at test time. Where it is missing
// the test is skipped, saying why; under CI=true that is a failure.
inline std::string fixture(const std::string& name) {
  return std::string(KALDO_TOOL_FIXTURES) + "/" + name;
}
#define KALDO_REQUIRE_FIXTURES()                                                     \
  do {                                                                               \
    if (!std::filesystem::exists(KALDO_TOOL_FIXTURES)) {                             \
      if (running_under_ci()) {                                                      \
        FAIL() << "the generated fixtures are missing: " KALDO_TOOL_FIXTURES;        \
      }                                                                              \
      GTEST_SKIP() << "the generated fixtures are missing (python3 and "             \
                      "tests/tool/make_archive.py write them): " KALDO_TOOL_FIXTURES; \
    }                                                                                \
  } while (false)

class collecting_sink final : public message_sink {
 public:
  void found(found_message message) override { messages.push_back(std::move(message)); }
  void skipped(skipped_input input) override { skips.push_back(std::move(input)); }
  std::vector<found_message> messages;
  std::vector<skipped_input> skips;
};

inline collecting_sink walk(const std::vector<std::string>& inputs) {
  collecting_sink sink;
  walk_inputs(inputs, sink);
  return sink;
}

// Temporary folders and file reading are the helpers every test shares
// (tests/test_support.h).

}  // namespace kaldo::tool::testing
