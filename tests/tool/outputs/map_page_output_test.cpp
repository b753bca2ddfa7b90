// The map page as an output: chosen by its ending, and staged beside the
// destination like the GIS files (the page itself: map_page_test.cpp).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "tool/outputs/fleet_output.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

using namespace testing;

TEST(MapPageOutput, ADestinationEndingInHtmlIsTheMapPage) {
  temp_dir dir;
  std::string error;
  output_options options;
  options.tiles_url = "https://tiles.example/{z}/{x}/{y}.png";
  auto output = open_fleet_output(dir.path() + "/fleet.HTML", options, &error);
  ASSERT_NE(output, nullptr) << error;
  EXPECT_FALSE(output->appends());
  ASSERT_TRUE(output->write(sample_fleet(), &error)) << error;
  const std::string page = read_file(dir.path() + "/fleet.HTML");
  EXPECT_NE(page.find("id=\"kaldo-tracks\""), std::string::npos);
  EXPECT_NE(page.find("tiles.example"), std::string::npos);
  EXPECT_NE(page.find("300034012345670"), std::string::npos);
}

TEST(MapPageOutput, AMapPageInAMissingFolderIsRefusedAtOnce) {
  std::string error;
  EXPECT_TRUE(open_fleet_output("/no/such/folder/fleet.html", {}, &error) == nullptr);
  EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;
}

// Files written while one lives stop at `bytes`: a write past that fails
// as on a full disk.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~file_size_limit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  file_size_limit(const file_size_limit&) = delete;
  file_size_limit& operator=(const file_size_limit&) = delete;

 private:
  rlimit old_{};
  void (*old_handler_)(int) = nullptr;
};

TEST(MapPageOutput, TheEarlierPageIsReplacedOnlyByACompleteOne) {
  const struct {
    const char* name;
    rlim_t size_limit;
    bool written;
  } cases[] = {
      {"a complete page replaces the earlier one", RLIM_INFINITY, true},
      // Leaflet alone is larger than this, so the write fails midway.
      {"a page that fails midway leaves the earlier one", 64 * 1024, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    const std::string page = dir.write("fleet.html", "the earlier page");
    std::string error;
    auto output = open_fleet_output(page, {}, &error);
    ASSERT_NE(output, nullptr) << error;
    bool written = false;
    {
      file_size_limit limit(c.size_limit);
      written = output->write(sample_fleet(), &error);
    }
    output.reset();
    EXPECT_EQ(written, c.written) << error;
    const std::string now = read_file(page);
    if (c.written) {
      EXPECT_NE(now.find("id=\"kaldo-tracks\""), std::string::npos);
    } else {
      EXPECT_EQ(now, "the earlier page");
      // The reason names the destination, not the staged file.
      EXPECT_EQ(error, "not written: " + page + ": File too large");
    }
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"fleet.html"});
  }
}

}  // namespace
}  // namespace kaldo::tool
