#pragma once

#include <cstddef>
#include <vector>

#include "base/metric.h"

// How a box is cut into cells for a radius search, and how many rings of
// cells around a point's own cell hold every point within the radius.
//
// Points are stored on the unit torus (an axis of period P divided by P) and
// measured in single precision. A pair within the radius has, on every axis,
// a term no larger than the summed bound (its root for L2), because the terms
// are non-negative and rounding never makes a sum of them smaller than one of
// them. The rings are counted from that per-axis bound widened by a relative
// and an absolute margin that cover the rounding of the coordinates, of the
// term and of its scaling, so that no pair whose single-precision distance is
// within the bound lies outside them.
namespace vb::query {

struct CellPlan {
  bool admits_nothing = false;      // a negative or NaN radius: no search at all
  std::vector<std::size_t> cells;   // per axis, at least 1
  std::vector<std::size_t> rings;   // per axis; 2 * rings + 1 >= cells means the whole axis
  std::size_t group = 1;            // cells along axis 0 that share one neighbourhood
  double candidates = 0.0;          // expected candidates per query row, points spread evenly
  double within = 0.0;              // expected points within the radius of a row, likewise
  double listed = 0.0;              // expected points of a home's neighbourhood, likewise
};

// The half-width, in unit-torus coordinates, of the slab around a point that
// holds every point within `radius` on an axis of period `period` (box units).
// Infinite for an infinite radius; negative when nothing is admitted.
double axis_reach(double radius, Metric metric, double period);

// Rings per axis for these cell counts: ceil(reach * cells), at most the
// number that covers the whole axis.
std::vector<std::size_t> cell_rings(const std::vector<std::size_t>& cells, double radius, Metric metric,
                                    const std::vector<double>& period);

// Per axis, the cells of a cutting whose cell side is about reach / per_ring,
// so that about per_ring rings cover the radius; at least one cell an axis and
// at most about max_cells cells in all.
std::vector<std::size_t> cells_for(double radius, Metric metric, const std::vector<double>& period,
                                   std::size_t per_ring, std::size_t max_cells);

// The cutting chosen for n points, `rows` query rows and a radius: of one to
// four cells per ring and one to four cells per home along axis 0, the one
// with the least modelled cost (the candidates measured per row, the listing
// and packing of each home's neighbourhood and the lookups of its cell runs,
// at rates measured on the tile kernels).
// `period` holds d periods (1.0 on the unit torus).
CellPlan plan_cells(std::size_t n, std::size_t rows, double radius, Metric metric,
                    const std::vector<double>& period);

}  // namespace vb::query
