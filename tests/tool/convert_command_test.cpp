// The kaldo program as a user runs it: options, exit statuses, files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

struct run_result {
  int status;
  std::string err;
};

run_result run_kaldo(const std::string& arguments) {
  temp_dir scratch;
  const std::string err = scratch.path() + "/stderr";
  const std::string command = std::string("'") + KALDO_PROGRAM + "' " + arguments + " >/dev/null 2>'" + err + "'";
  const int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(err)};
}

TEST(ConvertCommand, UsageErrorsExitWith2AndSayWhat) {
  temp_dir folder;
  const std::string input = folder.write("1_a.sbd", "Updated");
  const std::string out = " -o '" + folder.path() + "/out' ";
  const struct {
    const char* why;
    std::string arguments;
  } cases[] = {
      {"no subcommand", ""},
      {"an unknown subcommand", "mangle x"},
      {"no format", "convert" + out + input},
      {"a format below 1", "convert --format 0" + out + input},
      {"a format above 10", "convert --format 11" + out + input},
      {"a format that is no number", "convert --format seven" + out + input},
      {"a century of one digit", "convert --format 7 --century 9" + out + input},
      {"a century that is no number", "convert --format 7 --century 2x" + out + input},
      {"no jobs", "convert --format 7 --jobs 0" + out + input},
      {"no output folder", "convert --format 7 " + input},
      {"no input", "convert --format 7" + out},
      {"an unknown option", "convert --format 7 --colour" + out + input},
  };
  for (const auto& c : cases) {
    const run_result run = run_kaldo(c.arguments);
    EXPECT_EQ(run.status, 2) << c.why;
    EXPECT_FALSE(run.err.empty()) << c.why;
  }
}

TEST(ConvertCommand, AMisspeltWordIsNamedWithTheOneMeant) {
  const struct {
    std::string arguments;
    std::string said;
  } cases[] = {
      {"conver x", "kaldo: unknown subcommand 'conver' (did you mean 'convert'?)"},
      {"trakcs -o a.gpkg x", "kaldo: unknown subcommand 'trakcs' (did you mean 'tracks'?)"},
      {"mangle x", "kaldo: unknown subcommand 'mangle'; see --help"},
      {"convert --fromat 7 -o out x", "kaldo convert: unknown option '--fromat' (did you mean '--format'?)"},
      {"convert --format=7 --reprot=r.json -o out x",
       "kaldo convert: unknown option '--reprot' (did you mean '--report'?)"},
      {"tracks --valid-onyl -o a.gpkg x", "kaldo tracks: unknown option '--valid-onyl' (did you mean '--valid-only'?)"},
      {"convert --format 7 -x -o out x", "kaldo convert: unknown option '-x'"},
  };
  for (const auto& c : cases) {
    const run_result run = run_kaldo(c.arguments);
    EXPECT_EQ(run.status, 2) << c.arguments;
    EXPECT_TRUE(run.err.starts_with(c.said)) << c.arguments << ": " << run.err;
  }
}

TEST(ConvertCommand, HelpListsTheFormatsByName) {
  temp_dir folder;
  const std::string out = folder.path() + "/help";
  std::string command = "'";
  command.append(KALDO_PROGRAM).append("' convert --help > '").append(out).append("'");
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string help = read_file(out);
  EXPECT_NE(help.find("   7  Easy to Read Text (after version 3.2)\n"), std::string::npos) << help;
  EXPECT_NE(help.find("  10  NMEA GGA and VTG format (after version 3.2)\n"), std::string::npos) << help;
}

TEST(ConvertCommand, HelpAndVersionExitWith0) {
  EXPECT_EQ(run_kaldo("--help").status, 0);
  EXPECT_EQ(run_kaldo("convert --help").status, 0);
  EXPECT_EQ(run_kaldo("--version").status, 0);
}

TEST(ConvertCommand, AnOutputFolderThatCannotBeWrittenExitsWith2) {
  temp_dir folder;
  const std::string input = folder.write("1_a.sbd", "Updated");
  const std::string file = folder.write("file", "x");
  const run_result run = run_kaldo("convert --format 7 -o '" + file + "/out' " + input);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("output folder"), std::string::npos) << run.err;
}

TEST(ConvertCommand, ExitStatusOfARun) {
  const std::string single = read_file(std::string(KALDO_EXAMPLES) + "/300034012345671_single.sbd");
  const struct {
    const char* why;
    std::vector<std::pair<std::string, std::string>> files;
    int status;
  } cases[] = {
      {"every message converted", {{"1_a.sbd", single}}, 0},
      {"not a position report", {{"1_a.sbd", "Updated"}}, 0},
      {"only files that are not messages: nothing done", {{"notes.txt", "x"}}, 1},
      {"a failed message", {{"1_a.sbd", single}, {"1_b.sbd", "\x01\x01"}}, 1},
      {"an SMS e-mail without a blank line", {{"x.eml", "Subject: 1@x\r\ng1"}}, 1},
  };
  for (const auto& c : cases) {
    temp_dir folder;
    for (const auto& [name, bytes] : c.files) folder.write("in/" + name, bytes);
    const run_result run = run_kaldo("convert --format 7 -o '" + folder.path() + "/out' '" + folder.path() + "/in'");
    EXPECT_EQ(run.status, c.status) << c.why << "\n" << run.err;
  }
  temp_dir folder;
  const run_result missing =
      run_kaldo("convert --format 7 -o '" + folder.path() + "/out' '" + folder.path() + "/missing'");
  EXPECT_EQ(missing.status, 1) << "an input that cannot be read";
  EXPECT_NE(missing.err.find(folder.path() + "/missing\n"), std::string::npos)
      << "the missing input is named:\n" << missing.err;
  folder.write("in/1_a.sbd", single);
  const run_result into_itself =
      run_kaldo("convert --format 7 -o '" + folder.path() + "/in' '" + folder.path() + "/in/'");
  EXPECT_EQ(into_itself.status, 2) << "the output folder is one of the inputs";
  EXPECT_NE(into_itself.err.find("also an input"), std::string::npos) << into_itself.err;
}

TEST(ConvertCommand, ARerunOverwritesItsOwnOutputs) {
  temp_dir folder;
  folder.write("in/1_a.sbd", "Updated");
  folder.write("in/x/1_a.sbd", "Failed");
  const std::string arguments = "convert --format 7 -o '" + folder.path() + "/out' '" + folder.path() + "/in'";
  ASSERT_EQ(run_kaldo(arguments).status, 0);
  folder.write("in/x/1_a.sbd", "Updated!");
  ASSERT_EQ(run_kaldo(arguments).status, 1);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path() + "/out")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1_a.sbd.2.txt", "1_a.sbd.txt"}));
  EXPECT_TRUE(read_file(folder.path() + "/out/1_a.sbd.2.txt").starts_with("Error: "));
}

TEST(ConvertCommand, AnOutputFolderAmongTheInputsIsNotReadBack) {
  temp_dir folder;
  folder.write("archive/1_a.sbd", "Updated");
  const std::string arguments = "convert --format 7 -o '" + folder.path() + "/archive/out' '" + folder.path() + "/archive'";
  ASSERT_EQ(run_kaldo(arguments).status, 0);
  const run_result again = run_kaldo(arguments);
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.err.find("           0  inputs skipped"), std::string::npos) << again.err;
}

TEST(ConvertCommand, NoProgressLineOffATerminalAndNothingAtAllWhenQuiet) {
  temp_dir folder;
  folder.write("in/1_a.sbd", "Updated");
  const std::string arguments = "-o '" + folder.path() + "/out' '" + folder.path() + "/in'";
  const run_result loud = run_kaldo("convert --format 7 " + arguments);
  EXPECT_EQ(loud.err.find('\r'), std::string::npos);
  EXPECT_NE(loud.err.find("messages found"), std::string::npos);
  EXPECT_EQ(run_kaldo("convert --format 7 --quiet " + arguments).err, "");
}

}  // namespace
}  // namespace kaldo::tool::testing

namespace kaldo::tool::testing {
namespace {

TEST(ConvertCommand, AProgressLineOnATerminal) {
  if (std::system("command -v script >/dev/null 2>&1") != 0) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "script (util-linux) is missing";
    GTEST_SKIP() << "script (util-linux) is missing: no terminal to run kaldo on";
  }
  temp_dir folder;
  folder.write("in/1_a.sbd", "Updated");
  const std::string typescript = folder.path() + "/typescript";
  // script runs kaldo on a pseudo-terminal and keeps what it shows.
  const std::string command = "script -qec \"'" + std::string(KALDO_PROGRAM) + "' convert --format 7 -o '" +
                              folder.path() + "/out' '" + folder.path() + "/in'\" '" + typescript +
                              "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string shown = read_file(typescript);
  EXPECT_NE(shown.find("\r\033[K1 messages, "), std::string::npos) << shown;
  EXPECT_NE(shown.find(" elapsed"), std::string::npos) << shown;
  EXPECT_NE(shown.find("messages found"), std::string::npos) << shown;
}

}  // namespace
}  // namespace kaldo::tool::testing
