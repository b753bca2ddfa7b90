#include "app/arguments.h"

#include <gtest/gtest.h>

#include <vector>

#include "kaldo/kaldo.h"

using namespace kaldo::cli;


namespace {

struct parsed {
  std::optional<int> status;
  run_values values;
  std::string console;
};

parsed parse(std::vector<const char*> args) {
  args.insert(args.begin(), "Kaldo_Command_Line");
  parsed p;
  p.status = validate_arguments(static_cast<int>(args.size()), args.data(),
                                p.values, p.console);
  return p;
}

const std::string range = "The Conversion Format must be between 1 and 10.";
const std::string backslash = "The optional arguments need to begin with a \\.";
const std::string century =
    "The format for adding the millinium and century is \\Ymc where mc "
    "represents the millinium and century.\r\n";
const std::string encryption = "This program does not support the encryption feature.\r\n";

}  // namespace

TEST(Arguments, FormatNumberReadLikeAtolAndSaturated) {
  const std::pair<const char*, std::int32_t> rows[] = {
      {"7", 7}, {"07", 7}, {"+7", 7}, {"7abc", 7}, {"10", 10}, {" 3", 3},
      {"abc", 0}, {"0", 0}, {"-3", -3}, {"11", 11},
      {"4294967303", INT32_MAX}, {"999999999999999999999999999999", INT32_MAX},
      {"-4294967303", INT32_MIN},
  };
  for (const auto& [text, number] : rows) {
    const auto p = parse({"a.sbd", text});
    EXPECT_FALSE(p.status.has_value()) << text;
    EXPECT_EQ(p.values.format_number, number) << text;
    EXPECT_EQ(p.console, number >= 1 && number <= 10 ? "" : range) << text;
  }
}

TEST(Arguments, CountsThatPrintTheUsage) {
  for (const auto& args : std::vector<std::vector<const char*>>{
           {}, {"a.sbd"}, {"a.sbd", "7", "\\Y19", "\\x"},
           {"a.sbd", "7", "1", "2", "3", "4", "5"}}) {
    const auto p = parse(args);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.console.substr(0, 32), "Kaldo Command Line Version 5.0.0");
  }
}

TEST(Arguments, OptionalArguments) {
  struct row {
    const char* name;
    std::vector<const char*> args;
    std::optional<int> status;
    std::string console;
    std::string century_text;
  };
  const row rows[] = {
      {"century", {"a.sbd", "7", "\\Y19"}, {}, "", "19"},
      {"one digit", {"a.sbd", "7", "\\Y1"}, -1, century, ""},
      {"three digits", {"a.sbd", "7", "\\Y199"}, -1, century, ""},
      {"letters", {"a.sbd", "7", "\\Yab"}, -1, century, ""},
      {"lone Y", {"a.sbd", "7", "\\Y"}, -1, century, ""},
      {"no backslash first", {"a.sbd", "7", "Y19"}, -1, backslash, ""},
      {"empty first", {"a.sbd", "7", ""}, -1, backslash, ""},
      {"later Y19 is ignored", {"a.sbd", "7", "\\Y18", "Y19", "\\eu:a"}, {}, "", "18"},
      {"later xY19 acts as \\Y19", {"a.sbd", "7", "\\Y18", "xY19", "\\eu:a"}, {}, "", "19"},
      {"later empty is ignored", {"a.sbd", "7", "\\Y18", "", "\\eu:a"}, {}, "", "18"},
      {"one encryption option", {"a.sbd", "7", "\\eu:a"}, {}, "", ""},
      {"two of three", {"a.sbd", "7", "\\eu:a", "\\ep:b", "\\Y19"}, {}, "", "19"},
      {"all three", {"a.sbd", "7", "\\eu:", "\\ep:", "\\ekey:"}, -1, encryption, ""},
      {"all three any order", {"a.sbd", "0", "\\ekey:k", "\\eu:", "\\ep:", "\\ep:"},
       -1, encryption, ""},
      {"bad Y before encryption", {"a.sbd", "7", "\\eu:", "\\ep:", "\\ekey:", "\\Y1"},
       -1, century, ""},
      {"ignored options", {"a.sbd", "7", "\\x"}, {}, "", ""},
      {"ignored Z", {"a.sbd", "7", "\\Z9"}, {}, "", ""},
      {"lone backslash", {"a.sbd", "7", "\\"}, {}, "", ""},
      {"range message after options", {"a.sbd", "11", "\\Y19"}, {}, range, "19"},
  };
  for (const row& r : rows) {
    const auto p = parse(r.args);
    EXPECT_EQ(p.status, r.status) << r.name;
    EXPECT_EQ(p.console, r.console) << r.name;
    EXPECT_EQ(p.values.century_text, r.century_text) << r.name;
  }
}

TEST(Arguments, ExtensionsAreExactAndCaseSensitive) {
  const std::pair<std::string, kaldo::file_kind> rows[] = {
      {"unit_5.sbd", kaldo::file_kind::sbd_attachment}, {"UNIT_5.SBD", kaldo::file_kind::sbd_attachment},
      {".sbd", kaldo::file_kind::sbd_attachment},       {"msg.eml", kaldo::file_kind::sms_email},
      {"MSG.EML", kaldo::file_kind::sms_email},         {"unit.Sbd", kaldo::file_kind::other},
      {"unit.sbd.txt", kaldo::file_kind::other},      {"sbd", kaldo::file_kind::other},
      {"msg.Eml", kaldo::file_kind::other},
  };
  for (const auto& [name, kind] : rows) EXPECT_EQ(kaldo::file_kind_of(name), kind) << name;
}

namespace {

// The library's names of the formats are the ones the usage text lists.
TEST(Usage, ListsEveryFormatByTheLibrarysName) {
  std::string usage;
  print_usage(usage);
  for (int number = kaldo::first_format; number <= kaldo::last_format; ++number) {
    const std::string line = "   " + std::to_string(number) + " - " + kaldo::format_name(number) + "\r\n";
    EXPECT_NE(usage.find(line), std::string::npos) << line;
  }
  EXPECT_STREQ(kaldo::format_name(0), "");
  EXPECT_STREQ(kaldo::format_name(kaldo::last_format + 1), "");
}

}  // namespace
