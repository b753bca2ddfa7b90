#include "app/wide_arguments.h"

#include <gtest/gtest.h>

using kaldo::cli::utf8_from_utf16;

TEST(WideArguments, Utf16BecomesUtf8) {
  const std::pair<std::u16string, std::string> rows[] = {
      {u"", ""},
      {u"C:\\data\\300234010123450_1.sbd", "C:\\data\\300234010123450_1.sbd"},
      {u"\\Y19", "\\Y19"},
      {u"F\u00E4hre", "F\xC3\xA4hre"},                  // two bytes
      {u"\u8A18\u9332_1.sbd", "\xE8\xA8\x98\xE9\x8C\xB2_1.sbd"},  // three
      {u"\u07FF\u0800\uFFFD", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBD"},  // the edges
      {u"\U0001F6A2", "\xF0\x9F\x9A\xA2"},            // a surrogate pair
      {u"\U0010FFFF\U00010000", "\xF4\x8F\xBF\xBF\xF0\x90\x80\x80"},
  };
  for (const auto& [wide, utf8] : rows) EXPECT_EQ(utf8_from_utf16(wide), utf8);
}

TEST(WideArguments, LoneSurrogatesKeepTheirCodeUnit) {
  const std::pair<std::u16string, std::string> rows[] = {
      {std::u16string(1, char16_t{0xD800}), "\xED\xA0\x80"},
      {std::u16string(1, char16_t{0xDFFF}), "\xED\xBF\xBF"},
      {std::u16string{char16_t{0xD83D}, u'A'}, "\xED\xA0\xBD" "A"},  // high, no low
      {std::u16string{char16_t{0xDEA2}, char16_t{0xD83D}}, "\xED\xBA\xA2\xED\xA0\xBD"},  // reversed
      {std::u16string{u'x', char16_t{0xD83D}}, "x\xED\xA0\xBD"},  // high at the end
  };
  for (const auto& [wide, utf8] : rows) EXPECT_EQ(utf8_from_utf16(wide), utf8);
}
