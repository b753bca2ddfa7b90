#include "tool/serve/growing_track.h"

namespace kaldo::tool::serve {

std::unique_ptr<OGRGeometry> unit_line(const std::vector<vertex>& points) {
  if (points.size() < 2) return nullptr;
  auto line = std::make_unique<OGRLineString>();
  line->setNumPoints(static_cast<int>(points.size()), false);
  for (std::size_t i = 0; i < points.size(); ++i) {
    line->setPoint(static_cast<int>(i), points[i].longitude, points[i].latitude);
  }
  return line;
}

std::optional<std::vector<vertex>> line_vertices(const OGRGeometry* geometry) {
  std::vector<vertex> points;
  if (geometry == nullptr) return points;
  if (wkbFlatten(geometry->getGeometryType()) != wkbLineString) return std::nullopt;
  const auto* line = geometry->toLineString();
  points.reserve(static_cast<std::size_t>(line->getNumPoints()));
  for (int i = 0; i < line->getNumPoints(); ++i) points.push_back({line->getX(i), line->getY(i)});
  return points;
}

}  // namespace kaldo::tool::serve
