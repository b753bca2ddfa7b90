// Destinations GDAL cannot write: refused before any input is read, or
// failing when written, with a clear text and nothing left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tool/outputs/fleet_output.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

namespace fs = std::filesystem;
using namespace testing;

struct unwritable_case {
  const char* name;
  std::string destination;  // "$" is the temporary directory
  const char* error_part;
  const char* driver = "";
};

class Unwritable : public ::testing::TestWithParam<unwritable_case> {};

TEST_P(Unwritable, FailsWithAClearErrorAndLeavesNothingBehind) {
  const unwritable_case& c = GetParam();
  temp_dir dir;
  dir.write("not_a_geopackage.gpkg", "some text, not SQLite");
  fs::create_directory(dir.path() + "/a_directory.geojson");
  std::string destination = c.destination;
  if (const auto at = destination.find('$'); at != std::string::npos) {
    destination.replace(at, 1, dir.path());
  }
  const auto before = files_in(dir.path());
  std::string error;
  output_options options;
  options.driver = c.driver;
  auto output = open_fleet_output(destination, options, &error);
  if (output != nullptr) {
    std::vector<track_point> stored;
    if (output->read_stored(&stored, &error)) {
      EXPECT_FALSE(output->write(sample_fleet(), &error));
    }
    output.reset();
  }
  EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
  EXPECT_EQ(error.find("secret"), std::string::npos) << "a password shown: " << error;
  EXPECT_EQ(files_in(dir.path()), before);
  EXPECT_EQ(read_file(dir.path() + "/not_a_geopackage.gpkg"), "some text, not SQLite");
}

INSTANTIATE_TEST_SUITE_P(
    , Unwritable,
    ::testing::Values(
        unwritable_case{"missing_directory", "$/no/such/dir/fleet.gpkg", "cannot write in"},
        unwritable_case{"missing_directory_for_one_layer_files", "$/no/fleet.shp",
                        "cannot write in"},
        unwritable_case{"file_that_is_no_geopackage", "$/not_a_geopackage.gpkg",
                        "cannot open"},
        unwritable_case{"directory_in_the_way", "$/a_directory.geojson", "cannot move"},
        unwritable_case{"unknown_extension", "$/fleet.txt", "cannot tell the format"},
        unwritable_case{"file_in_the_place_of_a_directory", "$/not_a_geopackage.gpkg/x.gpkg",
                        "cannot write in"},
        unwritable_case{"unknown_driver", "$/fleet.gpkg", "GDAL has no vector driver",
                        "NoSuchDriver"},
        unwritable_case{"raster_only_driver", "$/fleet.tif", "GDAL has no vector driver",
                        "GTiff"},
        unwritable_case{"database_that_cannot_be_reached",
                        "PG:host=$/no_server port=1 dbname=x password=secret", "cannot open"}),
    [](const auto& info) { return std::string(info.param.name); });

// Root writes anywhere: the check then runs in a child that has become
// an ordinary user (nobody), whom the permissions bind.
TEST(OgrSession, AReadOnlyDirectoryIsRefusedBeforeAnyInputIsRead) {
  temp_dir dir;
  const std::string locked = dir.path() + "/locked";
  fs::create_directory(locked);
  chmod(dir.path().c_str(), 0755);
  chmod(locked.c_str(), 0555);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    std::string error;
    const bool refused = open_fleet_output(locked + "/fleet.gpkg", {}, &error) == nullptr;
    _exit(!refused ? 11 : error.find("cannot write in") == std::string::npos ? 12 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot become nobody, 11: not refused, "
                                       "12: refused without saying it cannot write";
  EXPECT_TRUE(files_in(locked).empty());
  chmod(locked.c_str(), 0755);
}

}  // namespace
}  // namespace kaldo::tool
