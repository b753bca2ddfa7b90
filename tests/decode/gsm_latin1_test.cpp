#include "decode/gsm_latin1.h"

#include <gtest/gtest.h>

using namespace kaldo::detail;

TEST(GsmToLatin1, ConvertsEscapesAndKeepsUnmappedCodes) {
  const std::pair<std::string, std::string> rows[] = {
      {"\x1b\x3c", "["},
      {"\x24", "\xa4"},
      {"\x5f", "\xa7"},
      {"Unit 42", "Unit 42"},
      {std::string("\x00", 1), "@"},
      {"\x1b\x65", "\x65"},        // escaped euro sign has no Latin-1 form
      {"\x1b\x41", "A"},           // escaped code outside the extension table
      {"ab\x1b", "ab"},            // a trailing escape appends nothing
      {"\x1b\x1b\x3c", "\x1b<"},   // an escaped escape comes back as itself
      {"\x10\x12", "\x10\x12"},    // Greek capitals stay as codes
      {"\n\r", "\n\r"},
  };
  for (const auto& [gsm, latin1] : rows) EXPECT_EQ(gsm_to_latin1(gsm), latin1);
}
