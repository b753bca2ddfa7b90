#include "tool/output_names.h"

#include <gtest/gtest.h>

namespace kaldo::tool {
namespace {

TEST(CleanFileName, NamesAreCleanedOfPathsAndControls) {
  const struct {
    const char* why;
    std::string name;
    std::string clean;
  } cases[] = {
      {"a plain name stays", "300234010123450_000123.sbd", "300234010123450_000123.sbd"},
      {"a path climbing out loses its folders", "../../etc/1_2.sbd", "1_2.sbd"},
      {"a Windows path too", "C:\\Users\\x\\1_2.sbd", "1_2.sbd"},
      {"control bytes become underscores", "1\n2\t3\x7f.sbd", "1_2_3_.sbd"},
      {"an empty name is not the folder", "", "_"},
      {"a name ending in a slash", "dir/", "_"},
      {"dot names are not folders", "..", "_.."},
      {"Latin-1 and UTF-8 bytes stay", "unit\xe9\xc3\xa9.sbd", "unit\xe9\xc3\xa9.sbd"},
      {"a long name is cut", std::string(300, 'a'), std::string(200, 'a')},
  };
  for (const auto& c : cases) EXPECT_EQ(clean_file_name(c.name), c.clean) << c.why;
}

found_message named(std::string name, std::string bytes, std::uint64_t length = 0) {
  found_message message;
  message.name = std::move(name);
  message.bytes = std::move(bytes);
  message.full_length = length ? length : message.bytes.size();
  return message;
}

TEST(OutputNamer, ClashesAreNumberedInInputOrderAndRepeatsAreDuplicates) {
  output_namer namer;
  const struct {
    found_message message;
    std::string file;
    std::optional<std::uint64_t> duplicate_of;
  } steps[] = {
      {named("1_a.sbd", "one"), "1_a.sbd.txt", {}},
      {named("1_a.sbd", "two"), "1_a.sbd.2.txt", {}},
      {named("1_a.sbd", "one"), "", 1},                     // delivered twice
      {named("x/1_a.sbd", "three"), "1_a.sbd.3.txt", {}},    // same name once cleaned
      {named("1_a.sbd.2", "four"), "1_a.sbd.2.2.txt", {}},   // a real name the suffix took
      {named("1_b.sbd", "one"), "1_b.sbd.txt", {}},          // same bytes, other name
      {named("1_a.sbd", "two"), "", 2},
      {named("1_c.sbd", std::string(7212, 'x'), 8000), "1_c.sbd.txt", {}},
      {named("1_c.sbd", std::string(7212, 'x'), 9000), "1_c.sbd.2.txt", {}},  // same head, other length
  };
  std::uint64_t number = 0;
  for (const auto& step : steps) {
    const output_namer::decision decision = namer.name(step.message, ++number);
    EXPECT_EQ(decision.file_name, step.file) << "message " << number;
    EXPECT_EQ(decision.duplicate_of, step.duplicate_of) << "message " << number;
  }
}

TEST(OutputNamer, AnUnreadableMessageIsNeverADuplicate) {
  output_namer namer;
  found_message message = named("1_a.sbd", "");
  message.unreadable = kaldo::read_refusal::cannot_read_sbd;
  EXPECT_EQ(namer.name(message, 1).file_name, "1_a.sbd.txt");
  EXPECT_EQ(namer.name(message, 2).file_name, "1_a.sbd.2.txt");
}

}  // namespace
}  // namespace kaldo::tool
