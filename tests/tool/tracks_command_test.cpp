// kaldo tracks as a user runs it: options, exit statuses, what ends up in
// the destination, and what the summary says.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include <gdal_priv.h>

#include "tests/tool/layer_reading.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

using namespace testing;

struct run_result {
  int status;
  std::string err;
};

run_result run_tracks(const std::string& arguments) {
  temp_dir scratch;
  const std::string err = scratch.path() + "/stderr";
  const std::string command =
      std::string("'") + KALDO_PROGRAM + "' tracks " + arguments + " >/dev/null 2>'" + err + "'";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(err)};
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Two units' messages as saved attachments, one of them twice, and one
// report without a valid fix.
void write_inputs(const temp_dir& dir) {
  std::filesystem::create_directory(dir.path() + "/in");
  binary_fields a, b, no_fix;
  b.minute = 40;
  b.lat_minutes = 50;
  no_fix.minute = 50;
  no_fix.flags = 0;
  const std::string message = make_message(1, {binary_report(a), binary_report(b)});
  dir.write("in/300034012345670_1.sbd", message);
  dir.write("in/300034012345670_2.sbd", message);
  dir.write("in/300034012345671_1.sbd", make_message(1, {binary_report(no_fix)}));
}

TEST(TracksCommand, UsageErrorsExitWith2AndSayWhat) {
  temp_dir dir;
  write_inputs(dir);
  std::string in = " ", out = " -o ";
  in += quoted(dir.path() + "/in");
  out += quoted(dir.path() + "/fleet.gpkg");
  const struct {
    const char* why;
    std::string arguments;
  } cases[] = {
      {"no destination", in},
      {"no input", out},
      {"a century of one digit", "--century 9" + out + in},
      {"no jobs", "--jobs 0" + out + in},
      {"an unknown option", "--colour" + out + in},
  };
  for (const auto& c : cases) {
    const run_result run = run_tracks(c.arguments);
    EXPECT_EQ(run.status, 2) << c.why;
    EXPECT_FALSE(run.err.empty()) << c.why;
  }
}

TEST(TracksCommand, WritesEachDistinctReportOnceAndSaysSo) {
  temp_dir dir;
  write_inputs(dir);
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  const run_result run = run_tracks("-o " + quoted(gpkg) + " " + quoted(dir.path() + "/in"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Reports: 5, 3 new points, 2 already seen"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("Written anew"), std::string::npos) << run.err;
  EXPECT_EQ(read_points(gpkg, "positions").size(), 3u);
  EXPECT_EQ(read_tracks(gpkg, "tracks").size(), 2u);

  const run_result again = run_tracks("-o " + quoted(gpkg) + " " + quoted(dir.path() + "/in"));
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("0 new points, 5 already seen"), std::string::npos) << again.err;
  EXPECT_NE(again.err.find("Added to"), std::string::npos) << again.err;
  EXPECT_EQ(read_points(gpkg, "positions").size(), 3u);
}

// A message saved twice under one name is a duplicate for both commands,
// counted alike; its reports are not read again.
TEST(TracksCommand, CountsDuplicateMessagesAsConvertDoes) {
  temp_dir dir;
  write_inputs(dir);
  dir.write("in/copy/300034012345670_1.sbd", read_file(dir.path() + "/in/300034012345670_1.sbd"));
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  const run_result tracks = run_tracks("-o " + quoted(gpkg) + " " + quoted(dir.path() + "/in"));
  ASSERT_EQ(tracks.status, 0) << tracks.err;
  EXPECT_NE(tracks.err.find("           1  duplicates\n"), std::string::npos) << tracks.err;
  EXPECT_NE(tracks.err.find("Reports: 5, 3 new points, 2 already seen"), std::string::npos) << tracks.err;
  const std::string convert = std::string("'") + KALDO_PROGRAM + "' convert --format 7 -o " +
                              quoted(dir.path() + "/out") + " " + quoted(dir.path() + "/in") + " 2>" +
                              quoted(dir.path() + "/convert.err");
  ASSERT_EQ(std::system(convert.c_str()), 0);
  EXPECT_NE(read_file(dir.path() + "/convert.err").find("           1  duplicates\n"), std::string::npos);
}

TEST(TracksCommand, ValidOnlyLeavesReportsWithoutAFixOut) {
  temp_dir dir;
  write_inputs(dir);
  const std::string json = dir.path() + "/fleet.geojson";
  const run_result run =
      run_tracks("--valid-only -q -o " + quoted(json) + " " + quoted(dir.path() + "/in"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_points(json, "").size(), 2u);
  EXPECT_EQ(read_tracks(dir.path() + "/fleet_tracks.geojson", "").size(), 1u);
}

TEST(TracksCommand, AFailedMessageCostsThatMessageOnly) {
  temp_dir dir;
  write_inputs(dir);
  dir.write("in/300034012345672_1.sbd", "too short");
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  const run_result run = run_tracks("-o " + quoted(gpkg) + " " + quoted(dir.path() + "/in"));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(read_points(gpkg, "positions").size(), 3u);
}

TEST(TracksCommand, AnInputWithoutMessagesWritesNothingAndSaysSo) {
  temp_dir dir;
  std::filesystem::create_directory(dir.path() + "/empty");
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  const run_result run = run_tracks("-o " + quoted(gpkg) + " " + quoted(dir.path() + "/empty"));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("no input held a tracker message"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Nothing written to " + gpkg), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(gpkg));
}

TEST(TracksCommand, ADestinationThatCannotBeWrittenExitsWith2LeavingNothing) {
  temp_dir dir;
  write_inputs(dir);
  dir.write("file", "not a folder");
  for (const std::string& destination : {dir.path() + "/file/fleet.gpkg",
                                        dir.path() + "/no/such/folder/fleet.shp",
                                        dir.path() + "/fleet.unknown"}) {
    const run_result run =
        run_tracks("-o " + quoted(destination) + " " + quoted(dir.path() + "/in"));
    EXPECT_EQ(run.status, 2) << destination;
    EXPECT_NE(run.err.find("kaldo tracks: cannot"), std::string::npos) << run.err;
  }
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"file", "in"}));
}

// A GeoPackage that refuses new points with a message of two lines, the
// first longer than a line of ours: GDAL's text stays out of the one
// line but for its start, and --verbose shows all of it.
TEST(TracksCommand, GdalsMessagesAreShownInFullOnlyWithVerbose) {
  temp_dir dir;
  write_inputs(dir);
  const std::string gpkg = dir.path() + "/fleet.gpkg";
  const std::string one = quoted(dir.path() + "/in/300034012345671_1.sbd");
  ASSERT_EQ(run_tracks("-q -o " + quoted(gpkg) + " " + one).status, 0);
  {
    GDALAllRegister();
    std::unique_ptr<GDALDataset> dataset(
        GDALDataset::Open(gpkg.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE));
    ASSERT_NE(dataset, nullptr);
    const std::string refuse = "CREATE TRIGGER refuse BEFORE INSERT ON positions BEGIN "
                               "SELECT RAISE(ABORT, '" + std::string(300, 'x') +
                               "\nthe second line'); END";
    dataset->ExecuteSQL(refuse.c_str(), nullptr, nullptr);
  }
  for (const bool verbose : {false, true}) {
    const run_result run = run_tracks(std::string(verbose ? "--verbose " : "") + "-q -o " +
                                      quoted(gpkg) + " " + quoted(dir.path() + "/in"));
    EXPECT_EQ(run.status, 2) << run.err;
    const auto at = run.err.find("kaldo tracks: not written: " + gpkg);
    ASSERT_NE(at, std::string::npos) << run.err;
    const std::string line = run.err.substr(at);
    EXPECT_LT(line.size(), 300u) << line;
    EXPECT_NE(line.find("xxx...\n"), std::string::npos) << line;
    EXPECT_EQ(run.err.find("the second line") != std::string::npos, verbose) << run.err;
  }
}

}  // namespace
}  // namespace kaldo::tool
