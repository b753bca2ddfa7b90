#include "tool/utc_text.h"

#include <charconv>
#include <cstdio>

namespace kaldo::tool {

using namespace std::chrono;

std::string utc_iso8601(kaldo::utc_time time) {
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{time - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
  return text;
}

std::string utc_now_iso8601() {
  return utc_iso8601(std::chrono::time_point_cast<milliseconds>(std::chrono::system_clock::now()));
}

std::optional<kaldo::utc_time> parse_iso8601(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS.mmmZ
  if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
      text[13] != ':' || text[16] != ':' || text[19] != '.' || text[23] != 'Z') {
    return std::nullopt;
  }
  int parts[7];
  const int at[7][2] = {{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}, {20, 3}};
  for (int i = 0; i < 7; ++i) {
    const char* first = text.data() + at[i][0];
    const char* last = first + at[i][1];
    const auto [end, error] = std::from_chars(first, last, parts[i]);
    if (error != std::errc{} || end != last || parts[i] < 0) return std::nullopt;
  }
  const auto instant = utc_instant(parts[0], static_cast<unsigned>(parts[1]), static_cast<unsigned>(parts[2]),
                                   static_cast<unsigned>(parts[3]), static_cast<unsigned>(parts[4]),
                                   static_cast<unsigned>(parts[5]));
  if (!instant) return std::nullopt;
  return *instant + milliseconds{parts[6]};
}

std::optional<sys_seconds> utc_instant(int year_number, unsigned month_number, unsigned day_number,
                                       unsigned hour, unsigned minute, unsigned second) {
  const year_month_day date{year{year_number}, month{month_number}, day{day_number}};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return sys_days{date} + hours{hour} + minutes{minute} + seconds{second};
}

}  // namespace kaldo::tool
