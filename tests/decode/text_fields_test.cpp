#include "decode/text_fields.h"

#include <gtest/gtest.h>

#include "decode/numbers.h"

using namespace kaldo::detail;

TEST(CheckFieldWidth, PadsOrReportsInPlace) {
  struct row {
    std::string field;
    std::size_t width;
    std::string after;
    std::string result;
  } rows[] = {
      {"7", 2, "07", ""},
      {"", 2, "00", ""},
      {"12", 2, "12", ""},
      {"123", 2, "123", "Corrupt Data: 123;"},
      {"97", 3, "097", ""},
      {"-0", 3, "0-0", ""},
  };
  for (auto& r : rows) {
    text_field field;
    field = r.field;
    EXPECT_EQ(check_field_width(field, r.width), r.result) << r.field;
    EXPECT_EQ(field, r.after) << r.field;
  }
}

TEST(StripZeros, KeepsOneCharacter) {
  const std::pair<std::string, std::string> leading[] = {
      {"0000", "0"}, {"0012", "12"}, {"", ""}, {"100", "100"}};
  for (const auto& [in, out] : leading) EXPECT_EQ(strip_leading_zeros(in), out) << in;
  const std::pair<std::string, std::string> trailing[] = {
      {"120", "12"}, {"5000", "5"}, {"000", "0"}, {"", ""}, {"0012", "0012"}};
  for (const auto& [in, out] : trailing) EXPECT_EQ(strip_trailing_zeros(in), out) << in;
}

TEST(ReadNumber, ReadsLikeAtolWithoutOverflow) {
  const std::pair<std::string, std::int64_t> rows[] = {
      {"7", 7},         {"07", 7},   {"+7", 7},  {"7abc", 7}, {"abc", 0},
      {" \t-3", -3},    {"", 0},     {"- 3", 0},
      {"99999999999999999999999", INT64_MAX},
      {"-99999999999999999999999", INT64_MIN},
  };
  for (const auto& [text, value] : rows) EXPECT_EQ(read_number(text), value) << text;
}

TEST(SetNumberKeepingWidth, NeverCutsAndKeepsTheFill) {
  const struct {
    std::string before;
    std::int64_t value;
    std::string after;
  } rows[] = {{"05", 6, "06"}, {"9", 10, "10"}, {"009", 10, "010"}, {"23", 0, "00"},
              {"", 4, "4"}};
  for (const auto& r : rows) {
    text_field field;
    field = r.before;
    set_number_keeping_width(field, r.value);
    EXPECT_EQ(field, r.after) << r.before;
  }
}
