// Ctrl-C and SIGTERM sent to a real run of kaldo, once its first output
// exists: the run stops reading, leaves no cut or hidden file, ends its
// report as valid JSON saying so, and exits with 128 + the signal; a
// destination of kaldo tracks stays as it was. A second Ctrl-C ends the
// process at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "tool_test_support.h"

extern char** environ;

namespace kaldo::tool::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Messages of many reports each: enough work that a signal finds the run
// busy in whichever phase it is sent.
void write_inputs(const temp_dir& folder, int files, int reports) {
  for (int f = 0; f < files; ++f) {
    std::vector<std::string> list;
    for (int r = 0; r < reports; ++r) {
      packed_fields report;
      report.day = 1 + f % 28;
      report.hour = r / 60 % 24;
      report.minute = r % 60;
      report.second = f % 60;
      report.lat_minutes = r % 60;
      list.push_back(packed_report(report));
    }
    folder.write("in/30003401234" + std::to_string(1000 + f % 7) + "_" + std::to_string(f) + ".sbd",
                 make_message(3, list));
  }
}

class running_kaldo {
 public:
  explicit running_kaldo(std::vector<std::string> arguments, const std::string& err_path) {
    arguments.insert(arguments.begin(), KALDO_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~running_kaldo() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  bool started() const { return pid_ > 0; }
  // What the process waits in, as the kernel names it ("wait_for_partner"
  // for a pipe opened with no one at the other end).
  std::string waiting_in() const { return read_file("/proc/" + std::to_string(pid_) + "/wchan"); }
  // Waits, at most `limit`, for `ready` while the process runs; false when
  // it ended first or the time ran out.
  bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (ready()) return true;
      int raw;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = raw;
        return false;
      }
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }
  void signal(int number) { ::kill(pid_, number); }
  int wait() {
    if (!status_) {
      int raw = 0;
      ::waitpid(pid_, &raw, 0);
      status_ = raw;
    }
    return *status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

bool any_file_in(const std::string& folder, const std::function<bool(const fs::path&)>& wanted) {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ignored)) {
    if (entry.is_regular_file(ignored) && wanted(entry.path())) return true;
  }
  return false;
}

TEST(Interrupt, ConvertStopsCleanlyOnEitherSignal) {
  temp_dir folder;
  write_inputs(folder, 3000, 30);
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const std::string out = folder.path() + "/out" + std::to_string(signal);
    const std::string report = folder.path() + "/report.json";
    running_kaldo run({"convert", "--format", "7", "--jobs", "1", "--report", report, "-o", out,
                       folder.path() + "/in"},
                      folder.path() + "/err");
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_until([&] { return any_file_in(out, [](const fs::path&) { return true; }); }))
        << "the run ended before its first output";
    run.signal(signal);
    const int raw = run.wait();
    ASSERT_TRUE(WIFEXITED(raw)) << raw;
    EXPECT_EQ(WEXITSTATUS(raw), 128 + signal);
    const std::string err = read_file(folder.path() + "/err");
    EXPECT_NE(err.find("kaldo convert: interrupted\n"), std::string::npos) << err;
    // No output cut short, no hidden one left, and not every input read.
    std::size_t outputs = 0;
    for (const auto& entry : fs::directory_iterator(out)) {
      EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
      EXPECT_GT(entry.file_size(), 0u) << entry.path();
      ++outputs;
    }
    EXPECT_LT(outputs, 3000u);
    const nlohmann::json json = nlohmann::json::parse(read_file(report));
    EXPECT_EQ(json["totals"]["interrupted"], true);
    EXPECT_EQ(json["totals"]["exit_status"], 128 + signal);
    EXPECT_EQ(json["messages"].size(), outputs);
  }
}

TEST(Interrupt, TracksLeavesItsDestinationAsItWasInEveryPhase) {
  temp_dir folder;
  write_inputs(folder, 400, 250);
  const std::string destination = folder.path() + "/fleet.geojson";
  folder.write("fleet.geojson", "the earlier file");
  // Reading: once the staging folder beside the destination exists (it is
  // made before the first input is read); writing: once the staged file
  // is in it.
  const struct {
    const char* phase;
    std::function<bool()> ready;
  } phases[] = {
      {"reading", [&] {
         for (const auto& entry : fs::directory_iterator(folder.path())) {
           if (entry.is_directory() && entry.path().filename().string().starts_with(".")) return true;
         }
         return false;
       }},
      {"writing", [&] {
         return any_file_in(folder.path(), [](const fs::path& p) {
           return p.parent_path().filename().string().starts_with(".") && p.extension() == ".geojson";
         });
       }},
  };
  for (const auto& phase : phases) {
    SCOPED_TRACE(phase.phase);
    running_kaldo run({"tracks", "-o", destination, folder.path() + "/in"}, folder.path() + "/err");
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_until(phase.ready)) << "the run ended before the phase";
    run.signal(SIGINT);
    const int raw = run.wait();
    ASSERT_TRUE(WIFEXITED(raw)) << raw;
    EXPECT_EQ(WEXITSTATUS(raw), 130) << read_file(folder.path() + "/err");
    EXPECT_EQ(read_file(destination), "the earlier file");
    for (const auto& entry : fs::directory_iterator(folder.path())) {
      EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << "left behind: " << entry.path();
    }
  }
}

TEST(Interrupt, ASecondCtrlCEndsTheProcessAtOnce) {
  temp_dir folder;
  write_inputs(folder, 1, 1);
  // A report that is a pipe nobody reads keeps the run waiting where the
  // first Ctrl-C cannot end it.
  const std::string report = folder.path() + "/report.json";
  ASSERT_EQ(::mkfifo(report.c_str(), 0600), 0);
  running_kaldo run({"convert", "--format", "7", "--report", report, "-o", folder.path() + "/out",
                     folder.path() + "/in"},
                    folder.path() + "/err");
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_until([&] { return run.waiting_in() == "wait_for_partner"; }))
      << "kaldo never came to open its report";
  run.signal(SIGINT);
  EXPECT_FALSE(run.wait_until([] { return false; }, 300ms)) << "the first Ctrl-C alone ended the process";
  run.signal(SIGINT);
  const int raw = run.wait();
  ASSERT_TRUE(WIFSIGNALED(raw)) << raw;
  EXPECT_EQ(WTERMSIG(raw), SIGINT);
  EXPECT_NE(read_file(folder.path() + "/err").find("interrupted again"), std::string::npos);
}

}  // namespace
}  // namespace kaldo::tool::testing
