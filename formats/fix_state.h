// The fix state of a report, as the formats print it.
//
// Before 3.2 a fix is only valid or not. After 3.2 a valid fix may be
// two-dimensional, and an invalid one may be dead-reckoned; each format maps
// these four states to its own text through a table indexed by the state.
#pragma once

#include "decode/gps_report_convert.h"

namespace kaldo::detail {

enum fix_state : int {
  fix_invalid = 0,
  fix_valid_3d = 1,
  fix_valid_2d = 2,
  fix_dead_reckoning = 3,
};

fix_state report_fix_state(const gps_report_convert& record, bool after_3_2);

}  // namespace kaldo::detail
