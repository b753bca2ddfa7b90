// A unit's line in the `tracks` layer as it grows one point at a time: the
// stored line is read back as its vertices, a new point goes in at its
// place in time order, and the line is made again from the vertices.
//
// unit_line() is the one place that makes a unit's geometry from its
// points in order; line_vertices() is its inverse. Changing the shape of
// a unit's geometry means changing these two together.
#pragma once

#include <ogr_geometry.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "tool/outputs/ogr_layers.h"

namespace kaldo::tool::serve {

using vertex = line_vertex;

// The geometry of a unit with these points in time order, split at the
// antimeridian as `kaldo tracks` splits it (split_line): none for fewer
// than two points (a unit with one point has no line).
std::unique_ptr<OGRGeometry> unit_line(const std::vector<vertex>& points);

// The points of a geometry unit_line() made, in order; none when
// `geometry` is not of its making, or was split or touches ±180°: the points where a split
// line meets ±180° were not reported, and a reported point can lie there
// too, so such a line is made again from the unit's positions. A
// LineString (as stores before the split kept) is read as it is.
std::optional<std::vector<vertex>> line_vertices(const OGRGeometry* geometry);

}  // namespace kaldo::tool::serve
