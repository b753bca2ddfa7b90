#include "tool/tracks_summary.h"

#include "tool/display_text.h"

namespace kaldo::tool {
namespace {

std::string count_of(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string tracks_summary_text(const fleet_counts& counts, const fleet& fleet,
                                const tracks_outcome& outcome) {
  std::string text;
  text += "Reports: " + std::to_string(counts.reports) + ", " +
          count_of(counts.added, "new point", "new points") + ", " +
          count_of(counts.duplicates, "already seen", "already seen") + "\n";
  if (counts.conflicts > 0) {
    text += count_of(counts.conflicts, "conflict", "conflicts") +
            ": a unit at one instant in two places, both kept\n";
  }
  if (counts.without_position > 0) {
    text += count_of(counts.without_position, "report", "reports") +
            " without a real time or position, left out\n";
  }
  if (outcome.valid_only && counts.not_valid_fix > 0) {
    text += count_of(counts.not_valid_fix, "report", "reports") +
            " without a valid fix, left out (--valid-only)\n";
  }
  std::string emergencies;
  for (const unit_track& unit : fleet.units) {
    if (unit.emergencies == 0) continue;
    emergencies += (emergencies.empty() ? "" : ", ") + unit.modem_id + " " +
                   std::to_string(unit.emergencies);
  }
  text += "Units: " + std::to_string(fleet.units.size()) + "; emergency reports: " +
          (emergencies.empty() ? std::string("none") : emergencies) + "\n";
  const std::string where = path_to_utf8(outcome.destination);
  if (!outcome.written) {
    text += "Nothing written to " + where + "\n";
  } else if (outcome.appended) {
    text += "Added to " + where + ", which kept its " +
            count_of(counts.stored, "earlier point", "earlier points") + "\n";
  } else {
    text += "Written anew: " + where + " (" +
            count_of(fleet.points.size(), "point", "points") + ")\n";
  }
  return text;
}

}  // namespace kaldo::tool
