#include "decode/gsm_latin1.h"

namespace kaldo::detail {

namespace {

struct code_pair {
  unsigned char gsm;
  unsigned char latin1;
};

constexpr code_pair default_alphabet[] = {
    {0, 0x40},   {1, 0xA3},   {2, 0x24},   {3, 0xA5},   {4, 0xE8},
    {5, 0xE9},   {6, 0xF9},   {7, 0xEC},   {8, 0xF2},   {9, 0xC7},
    {11, 0xD8},  {12, 0xF8},  {14, 0xC5},  {15, 0xE5},  {17, 0x5F},
    {28, 0xC6},  {29, 0xE6},  {30, 0xDF},  {31, 0xC9},  {36, 0xA4},
    {64, 0xA1},  {91, 0xC4},  {92, 0xD6},  {93, 0xD1},  {94, 0xDC},
    {95, 0xA7},  {96, 0xBF},  {123, 0xE4}, {124, 0xF6}, {125, 0xF1},
    {126, 0xFC}, {127, 0xE0},
};

constexpr code_pair extension_table[] = {
    {10, 0x0C}, {20, 0x5E}, {40, 0x7B}, {41, 0x7D}, {47, 0x5C},
    {60, 0x5B}, {61, 0x7E}, {62, 0x5D}, {64, 0x7C},
};

template <std::size_t n>
unsigned char look_up(const code_pair (&table)[n], unsigned char code) {
  for (const code_pair& pair : table) {
    if (pair.gsm == code) return pair.latin1;
  }
  return code;
}

constexpr unsigned char escape = 27;

}  // namespace

unsigned char gsm_char_to_latin1(unsigned char code, bool escaped) {
  return escaped ? look_up(extension_table, code)
                 : look_up(default_alphabet, code);
}

std::string gsm_to_latin1(const std::string& text) {
  std::string latin1;
  bool escaped = false;
  for (const char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (escaped) {
      latin1 += static_cast<char>(gsm_char_to_latin1(code, true));
      escaped = false;
    } else if (code == escape) {
      escaped = true;
    } else {
      latin1 += static_cast<char>(gsm_char_to_latin1(code, false));
    }
  }
  return latin1;
}

}  // namespace kaldo::detail
