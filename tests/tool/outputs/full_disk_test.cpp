// kaldo on a small file system that fills up: every output format of
// kaldo tracks, and kaldo convert. The tmpfs is mounted in a forked child
// that has a mount namespace of its own, so that nothing else sees it and
// it goes with the child; that takes root.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <nlohmann/json.hpp>

#include "tests/test_support.h"
#include "tests/tool/small_disk.h"

namespace kaldo::tool {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t page = testing::tmpfs_page;

// Relative path to bytes; a folder's bytes are "<folder>".
using files = std::map<std::string, std::string>;

files snapshot(const std::string& root) {
  files found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    found[name] = entry.is_directory() ? "<folder>" : read_file(entry.path().string());
  }
  return found;
}

std::size_t pages(const files& all) {
  std::size_t total = 0;
  for (const auto& [name, bytes] : all) total += (bytes.size() + page - 1) / page;
  return total;
}

// The names of what was added, changed or removed ("-NAME"): empty when
// nothing was.
std::string changes(const files& before, const files& after) {
  std::string said;
  for (const auto& [name, bytes] : after) {
    if (!before.contains(name) || before.at(name) != bytes) said += " " + name;
  }
  for (const auto& [name, bytes] : before) {
    if (!after.contains(name)) said += " -" + name;
  }
  return said;
}

int shell(const std::string& command) {
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string tracks(const std::string& destination, const std::string& input) {
  return std::string("'") + KALDO_PROGRAM + "' tracks -q -o '" + destination + "' '" + input + "'";
}

// Seven units' messages: `big` of 60 messages of 40 reports (2,400
// points), `small` of 3 of 5 on another day, for the destination an
// earlier run left.
struct inputs {
  temp_dir dir;
  std::string big = write("big", 60, 40, 1), small = write("small", 3, 5, 2);

  std::string write(const std::string& folder, int messages, int reports, int day) const {
    for (int m = 0; m < messages; ++m) {
      std::vector<std::string> list;
      for (int r = 0; r < reports; ++r) {
        list.push_back(packed_report({.hour = m % 24, .minute = r, .second = m / 24, .day = day,
                                      .lat_minutes = r, .lon_minutes = m % 60}));
      }
      dir.write(folder + "/30003401234" + std::to_string(1000 + m % 7) + "_" + std::to_string(m) +
                    ".sbd",
                make_message(3, list));
    }
    return dir.path() + "/" + folder;
  }
};

const inputs& shared_inputs() {
  static const inputs made;
  return made;
}

// What a command did on a small tmpfs: `seen` is what `look` said
// of the tmpfs after it, given what it held before.
struct disk_run {
  std::string unavailable;  // why there is no tmpfs; empty when there is
  int earlier_status = -1, status = -1;
  std::string err, seen;
};
using looking = std::function<std::string(const std::string& root, const files& before)>;

// In a forked child of a mount namespace of its own (small_disk.h): a
// tmpfs at `mountpoint`, roomy while `earlier` runs, then with `room`
// pages free for `command`.
disk_run on_small_disk(const std::string& mountpoint, const std::string& earlier,
                       std::size_t room, const std::string& command, const looking& look) {
  temp_dir scratch;
  const std::string err = scratch.path() + "/err";
  disk_run run;
  const auto said = testing::in_own_tmpfs(
      mountpoint,
      [&] {
        const int earlier_status = earlier.empty() ? 0 : shell(earlier);
        testing::leave_room(mountpoint, room);
        const files before = snapshot(mountpoint);
        const int status = shell(command + " 2>'" + err + "'");
        return std::to_string(earlier_status) + " " + std::to_string(status) + "\n" + look(mountpoint, before);
      },
      &run.unavailable);
  if (!said) return run;
  std::istringstream(*said) >> run.earlier_status >> run.status;
  run.seen = said->substr(said->find('\n') + 1);
  run.err = read_file(err);
  return run;
}

#define KALDO_REQUIRE_ROOT() \
  KALDO_REQUIRE_PART(geteuid() == 0, "mounting a small tmpfs needs root")

struct format_case {
  const char* name;
  const char* destination;
  bool earlier;  // an earlier run's output is there first
  bool appends;  // the run adds to it rather than writing anew
  const char* reason;
};

void PrintTo(const format_case& c, std::ostream* os) { *os << c.name; }

class TracksOnAFullDisk : public ::testing::TestWithParam<format_case> {};

TEST_P(TracksOnAFullDisk, FailsInOneLineAndLeavesTheDestinationAsItWas) {
  KALDO_REQUIRE_ROOT();
  const format_case& c = GetParam();
  const inputs& in = shared_inputs();
  // Measured on a disk with room: the pages the run needs beside what is
  // there. Half of them fails among the features; all but one, at the
  // very end, when the driver writes its last bytes or closes.
  temp_dir roomy;
  const std::string measured = roomy.path() + "/" + c.destination;
  if (c.earlier) {
    ASSERT_EQ(shell(tracks(measured, in.small)), 0);
  }
  const std::size_t held = pages(snapshot(roomy.path()));
  ASSERT_EQ(shell(tracks(measured, in.big)), 0);
  const std::size_t need = pages(snapshot(roomy.path())) - (c.appends ? held : 0);
  ASSERT_GT(need, 4u);
  for (const auto& [when, room] : {std::pair{"midway", need / 2}, {"at the end", need - 1}}) {
    SCOPED_TRACE(when);
    temp_dir mountpoint;
    const std::string destination = mountpoint.path() + "/" + c.destination;
    const disk_run run = on_small_disk(
        mountpoint.path(), c.earlier ? tracks(destination, in.small) : "", room,
        tracks(destination, in.big),
        [](const std::string& root, const files& before) {
          return changes(before, snapshot(root));
        });
    KALDO_REQUIRE_PART(run.unavailable.empty(), "no tmpfs of its own: " + run.unavailable);
    EXPECT_EQ(run.earlier_status, 0);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(run.err.starts_with("kaldo tracks: not written: " + mountpoint.path() + "/"))
        << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.seen, "") << "the destination changed";
  }
}

INSTANTIATE_TEST_SUITE_P(
    , TracksOnAFullDisk,
    ::testing::Values(
        format_case{"gpkg_added_to", "fleet.gpkg", true, true, "database or disk is full"},
        format_case{"gpkg_anew", "fleet.gpkg", false, false, "No space left on device"},
        format_case{"gpx", "fleet.gpx", true, false, "No space left on device"},
        format_case{"kml", "fleet.kml", true, false, "No space left on device"},
        format_case{"geojson", "fleet.geojson", true, false, "No space left on device"},
        format_case{"csv", "fleet.csv", true, false, "No space left on device"},
        format_case{"fgb", "fleet.fgb", true, false, "No space left on device"},
        format_case{"shp", "fleet.shp", true, false, "No space left on device"},
        format_case{"html", "fleet.html", true, false, "No space left on device"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConvertOnAFullDisk, StopsLeavingOnlyWholeOutputsAndSaysSoInTheReport) {
  KALDO_REQUIRE_ROOT();
  const inputs& in = shared_inputs();
  const auto convert = [&](const std::string& folder) {
    return std::string("'") + KALDO_PROGRAM + "' convert --format 7 -q -o '" + folder + "' '" +
           in.big + "'";
  };
  temp_dir roomy, mountpoint;
  ASSERT_EQ(shell(convert(roomy.path() + "/out")), 0);
  const files whole = snapshot(roomy.path());
  const std::string report = roomy.path() + "/report.json";
  // What is there is what a disk with room holds under that name: nothing
  // empty, cut short or hidden.
  const disk_run run = on_small_disk(
      mountpoint.path(), "", pages(whole) / 2,
      convert(mountpoint.path() + "/out") + " --report '" + report + "'",
      [&](const std::string& root, const files&) {
        std::string wrong;
        std::size_t outputs = 0;
        for (const auto& [name, bytes] : snapshot(root)) {
          outputs += bytes != "<folder>";
          if (bytes != "<folder>" && (!whole.contains(name) || whole.at(name) != bytes)) {
            wrong += " " + name;
          }
        }
        return outputs == 0 || outputs + 1 >= whole.size() ? "not stopped midway" : wrong;
      });
  KALDO_REQUIRE_PART(run.unavailable.empty(), "no tmpfs of its own: " + run.unavailable);
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("kaldo convert: stopped: "), std::string::npos) << run.err;
  EXPECT_EQ(run.seen, "") << "not whole, or hidden";
  const nlohmann::json totals = nlohmann::json::parse(read_file(report))["totals"];
  ASSERT_TRUE(totals["stopped"].is_string()) << totals;
  EXPECT_NE(totals["stopped"].get<std::string>().find("No space left on device"),
            std::string::npos);
  EXPECT_EQ(totals["exit_status"], 2);
}

}  // namespace
}  // namespace kaldo::tool
