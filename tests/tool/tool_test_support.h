// Shared by kaldo's tests: the generated fixtures and a sink that keeps
// what a walk finds.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tool/sources/byte_stream.h"
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

// Everything a reading hands on, as text, to compare two readings.
class recording_sink final : public message_sink {
 public:
  void found(found_message m) override {
    log << "found " << m.origin.path << " " << m.origin.index.value_or(0) << " " << m.origin.part.value_or("-")
        << " " << m.name << " " << static_cast<int>(m.kind) << " " << m.full_length << " "
        << (m.unreadable ? kaldo::printed(*m.unreadable) : "-") << " [" << m.bytes << "]\n";
  }
  void skipped(skipped_input s) override {
    log << "skipped " << s.path << " " << s.index.value_or(0) << " " << s.reason << " "
        << s.unreadable << "\n";
  }
  void advanced(std::uint64_t bytes) override { read += bytes; }
  std::ostringstream log;
  std::uint64_t read = 0;
};

// The first line where two logs differ, both versions; empty when equal.
inline std::string first_difference(const std::string& a, const std::string& b) {
  std::istringstream in_a(a);
  std::istringstream in_b(b);
  std::string line_a;
  std::string line_b;
  for (int n = 1;; ++n) {
    const bool more_a = static_cast<bool>(std::getline(in_a, line_a));
    const bool more_b = static_cast<bool>(std::getline(in_b, line_b));
    if (!more_a && !more_b) return {};
    if (more_a != more_b || line_a != line_b) {
      return "line " + std::to_string(n) + ":\n  " + (more_a ? line_a : "(none)") + "\n  " +
             (more_b ? line_b : "(none)");
    }
  }
}

// Bytes from memory, a few at a time, as an archive unpacks them; they
// fail where `fails_at` says, like a broken archive.
class memory_bytes final : public byte_stream {
 public:
  explicit memory_bytes(std::string bytes, std::size_t chunk = 4093,
                        std::size_t fails_at = std::string::npos)
      : bytes_(std::move(bytes)), chunk_(chunk), fails_at_(fails_at) {}

 protected:
  std::int64_t read_more(char* buffer, std::size_t size) override {
    if (at_ >= fails_at_) {
      fail("broken on purpose");
      return -1;
    }
    const std::size_t n = std::min({size, chunk_, bytes_.size() - at_, fails_at_ - at_});
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return static_cast<std::int64_t>(n);
  }

 private:
  std::string bytes_;
  std::size_t chunk_;
  std::size_t fails_at_;
  std::size_t at_ = 0;
};

// Temporary folders and file reading are the helpers every test shares
// (tests/test_support.h).

}  // namespace kaldo::tool::testing
