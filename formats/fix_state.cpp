#include "formats/fix_state.h"

namespace kaldo::detail {

fix_state report_fix_state(const gps_report_convert& record, bool after_3_2) {
  if (!after_3_2) return record.fix_valid ? fix_valid_3d : fix_invalid;
  if (record.fix_valid) return record.fix_2d ? fix_valid_2d : fix_valid_3d;
  return record.dead_reckoning ? fix_dead_reckoning : fix_invalid;
}

}  // namespace kaldo::detail
