// The output table: every kind of output kaldo tracks writes. A new kind
// is a row here and its own files; nothing else learns of it.
#include <deque>

#include "tool/outputs/fleet_output.h"
#include "tool/outputs/map_page_output.h"
#include "tool/outputs/ogr_fleet_output.h"

namespace kaldo::tool {
namespace {

// A deque, so that a kind handed out stays where it is while others are
// added.
std::deque<output_kind>& table() {
  static std::deque<output_kind> kinds = {map_page_output_kind(), ogr_output_kind()};
  return kinds;
}

}  // namespace

bool register_output(output_kind kind, std::string* error) {
  if (kind.name.empty() || !kind.open || !kind.claims) {
    *error = "cannot add the output \"" + kind.name +
             "\": it needs a name, the destinations it claims and a way to open one";
    return false;
  }
  for (const output_kind& known : table()) {
    if (known.name == kind.name) {
      *error = "cannot add the output \"" + kind.name + "\": the table has one of that name";
      return false;
    }
  }
  table().push_back(std::move(kind));
  return true;
}

const output_kind& output_kind_for(const std::string& destination,
                                   const output_options& options) {
  const output_kind* rest = nullptr;
  for (const output_kind& kind : table()) {
    if (!kind.claims) {
      rest = &kind;
    } else if (kind.claims(destination, options)) {
      return kind;
    }
  }
  return *rest;
}

std::unique_ptr<fleet_output> open_fleet_output(const std::string& destination,
                                                const output_options& options,
                                                std::string* error) {
  return output_kind_for(destination, options).open(destination, options, error);
}

}  // namespace kaldo::tool
