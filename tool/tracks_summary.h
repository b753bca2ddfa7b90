// What `kaldo tracks` adds to a run's summary: the points it kept and why
// it left reports out, the conflicts, the emergencies of every unit that
// had any, and whether the destination was added to or written anew.
#pragma once

#include <string>

#include "tool/fleet.h"
#include "tool/fleet_builder.h"

namespace kaldo::tool {

struct tracks_outcome {
  std::string destination;  // as given, any bytes
  bool appended = false;    // the destination's earlier points were kept
  bool valid_only = false;
  bool written = true;      // false: the destination was left as it was
};

// Lines of UTF-8 text, each ending in "\n".
std::string tracks_summary_text(const fleet_counts& counts, const fleet& fleet,
                                const tracks_outcome& outcome);

}  // namespace kaldo::tool
