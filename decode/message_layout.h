// The layout of a tracker message: a type byte, a report count N, N reports
// of 28 bytes, then a tail of up to 69 bytes that may hold the modem id.
#pragma once

#include <cstddef>

#include "decode/gps_report_convert.h"

namespace kaldo::detail {

inline constexpr std::size_t message_header_size = 2;
inline constexpr std::size_t max_tail_size = 69;
inline constexpr std::size_t min_message_size = 30;
inline constexpr std::size_t max_report_count = 255;
inline constexpr std::size_t max_message_size =
    message_header_size + report_size * max_report_count + max_tail_size;

inline constexpr std::size_t report_offset(std::size_t index) {
  return message_header_size + report_size * index;
}

}  // namespace kaldo::detail
