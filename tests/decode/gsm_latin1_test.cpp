#include "decode/gsm_latin1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

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

namespace {

// Every code of the default alphabet and every escaped code, decoded to
// Unicode by Perl's Encode module: "ESCAPED CODE HEX[,HEX...]", or "none"
// where it knows no character for the code.
constexpr const char* perl_gsm_table = R"(perl -MEncode -e '
for my $esc (0, 1) {
  for my $c (0 .. 127) {
    next if $c == 27 && !$esc;
    my $u = eval { Encode::decode("gsm0338", ($esc ? "\x1b" : "") . chr($c), Encode::FB_CROAK) };
    print "$esc $c ", (defined $u ? join(",", map { sprintf "%X", ord } split //, $u) : "none"), "\n";
  }
}' 2>/dev/null)";

struct reference_entry {
  bool escaped;
  int code;
  std::vector<long> unicode;  // empty: no character for the code
};

std::vector<reference_entry> read_reference_table() {
  std::vector<reference_entry> table;
  std::FILE* pipe = popen(perl_gsm_table, "r");
  if (pipe == nullptr) return table;
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  pclose(pipe);
  std::istringstream lines(text);
  int escaped, code;
  std::string chars;
  while (lines >> escaped >> code >> chars) {
    reference_entry entry{escaped != 0, code, {}};
    if (chars != "none") {
      std::istringstream hex(chars);
      std::string one;
      while (std::getline(hex, one, ',')) entry.unicode.push_back(std::stol(one, nullptr, 16));
    }
    table.push_back(entry);
  }
  return table;
}

}  // namespace

// Each code against an independent table: where Latin-1 has the character
// the code stands for, that byte; where it has none (Greek capitals, the
// euro sign) or the code names no character (an escaped code outside the
// extension table), the code itself.
TEST(GsmToLatin1, EveryCodeAgreesWithAnIndependentTable) {
  const std::vector<reference_entry> table = read_reference_table();
  KALDO_REQUIRE_PART(table.size() == 255,
                     "perl with Encode's gsm0338 encoding is not available: tools/install-packages");
  int latin1_entries = 0;
  for (const reference_entry& entry : table) {
    const auto code = static_cast<unsigned char>(entry.code);
    const bool has_latin1 = entry.unicode.size() == 1 && entry.unicode[0] <= 0xFF;
    const unsigned char expected =
        has_latin1 ? static_cast<unsigned char>(entry.unicode[0]) : code;
    latin1_entries += has_latin1;
    EXPECT_EQ(gsm_char_to_latin1(code, entry.escaped), expected)
        << (entry.escaped ? "escaped code " : "code ") << entry.code;

    std::string gsm;
    if (entry.escaped) gsm += '\x1b';
    gsm += static_cast<char>(code);
    EXPECT_EQ(gsm_to_latin1(gsm), std::string(1, static_cast<char>(expected)))
        << (entry.escaped ? "escaped code " : "code ") << entry.code;
  }
  // The default alphabet less its ten Greek capitals, and the extension
  // table less the euro sign.
  EXPECT_EQ(latin1_entries, 127 - 10 + 9);
}
