// Tests of real parts (GPSBabel, PostgreSQL with PostGIS) skip, saying
// why, when the part is missing; under CI=true a missing part fails.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace kaldo::tool::testing {

inline bool running_in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace kaldo::tool::testing

#define KALDO_REQUIRE_PART(present, why)                                         \
  do {                                                                           \
    if (!(present)) {                                                            \
      if (::kaldo::tool::testing::running_in_ci()) {                             \
        FAIL() << (why) << " (CI=true: a missing part is a failure)";           \
      } else {                                                                   \
        GTEST_SKIP() << (why);                                                   \
      }                                                                          \
    }                                                                            \
  } while (0)
