#include "tool/serve/growing_track.h"

#include <cmath>

namespace kaldo::tool::serve {

std::unique_ptr<OGRGeometry> unit_line(const std::vector<vertex>& points) { return split_line(points); }

std::optional<std::vector<vertex>> line_vertices(const OGRGeometry* geometry) {
  std::vector<vertex> points;
  if (geometry == nullptr) return points;
  const OGRLineString* line = nullptr;
  switch (wkbFlatten(geometry->getGeometryType())) {
    case wkbLineString:
      line = geometry->toLineString();
      break;
    case wkbMultiLineString:
      if (geometry->toMultiLineString()->getNumGeometries() != 1) return std::nullopt;
      line = geometry->toMultiLineString()->getGeometryRef(0);
      break;
    default:
      return std::nullopt;
  }
  points.reserve(static_cast<std::size_t>(line->getNumPoints()));
  for (int i = 0; i < line->getNumPoints(); ++i) {
    // A vertex on ±180° may be one a split made (a part of one point
    // beside it left out): only the unit's positions tell.
    if (std::fabs(line->getX(i)) == 180.0) return std::nullopt;
    points.push_back({line->getX(i), line->getY(i)});
  }
  return points;
}

}  // namespace kaldo::tool::serve
