#include "kaldo/decode.h"

namespace kaldo {

const char* to_string(fix_state fix) noexcept {
  switch (fix) {
    case fix_state::none: return "none";
    case fix_state::fix_2d: return "2d";
    case fix_state::fix_3d: return "3d";
    case fix_state::dead_reckoning: return "dead_reckoning";
    case fix_state::valid: return "valid";
    case fix_state::invalid: return "invalid";
  }
  return "invalid";
}

}  // namespace kaldo
