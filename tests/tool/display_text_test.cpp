#include "tool/display_text.h"

#include <glib.h>
#include <gtest/gtest.h>

namespace kaldo::tool {
namespace {

TEST(DisplayText, Latin1BytesBecomeTheirCharacters) {
  const struct {
    std::string bytes;
    std::string utf8;
  } cases[] = {
      {"300234010123450", "300234010123450"},
      {"Unit \xe9\xe8", "Unit \xc3\xa9\xc3\xa8"},
      {"\x1b\x3c" "7\x1b\x3e\r", "\x1b<7\x1b>\r"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"\xff", "\xc3\xbf"},
  };
  for (const auto& c : cases) EXPECT_EQ(latin1_to_utf8(c.bytes), c.utf8);
}

TEST(DisplayText, PathsStayWhenValidAndBecomeValidOtherwise) {
  EXPECT_EQ(path_to_utf8("archive/caf\xc3\xa9/1_2.sbd"), "archive/caf\xc3\xa9/1_2.sbd");
  for (const std::string bytes : {"caf\xe9.sbd", "\xc3", "\xff\xfe/\x80", "a\xed\xa0\x80z"}) {
    const std::string text = path_to_utf8(bytes);
    EXPECT_TRUE(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) << bytes;
    EXPECT_FALSE(text.empty());
  }
}

}  // namespace
}  // namespace kaldo::tool
