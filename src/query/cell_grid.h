#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/buffer.h"

// Points sorted by the cell of a regular grid on the unit torus: a cell list.
//
// Axis j is cut into cells[j] equal cells; a point's cell on that axis is
// floor(x * cells[j]) of its single-precision coordinate, the last cell also
// taking a coordinate that rounded up to 1. Cells are numbered with axis 0
// fastest (linear cell = sum of cell_j * stride[j]), so the cells of a run
// along axis 0 hold one contiguous range of sorted points.
namespace vb::query {

struct CellGrid {
  std::size_t d = 0;
  std::vector<std::size_t> cells;   // per axis, at least 1
  std::vector<std::size_t> stride;  // per axis: the product of the cells of the axes before it
  Buffer<std::uint32_t> start;      // per linear cell its first sorted position; one more at the end
  Buffer<std::uint32_t> row;        // per sorted position the point's row in the source
  Buffer<float> coords;             // the points' coordinates in sorted order, d per point

  std::size_t size() const { return row.size(); }
  std::size_t total_cells() const { return start.size() - 1; }
  const float* point(std::size_t position) const { return coords.data() + position * d; }
};

// The cell of a coordinate on an axis of `cells` cells. Coordinates below 0
// (or NaN) fall into cell 0, at or above 1 into the last cell.
inline std::size_t cell_on_axis(float x, std::size_t cells) {
  const double v = static_cast<double>(x) * static_cast<double>(cells);
  if (!(v >= 0.0)) return 0;
  return v >= static_cast<double>(cells) ? cells - 1 : static_cast<std::size_t>(v);
}

// Linear cell of a point of d coordinates in a grid of these cells and strides.
inline std::size_t cell_of(const float* x, const std::vector<std::size_t>& cells,
                           const std::vector<std::size_t>& stride) {
  std::size_t linear = 0;
  for (std::size_t j = 0; j < cells.size(); ++j) linear += cell_on_axis(x[j], cells[j]) * stride[j];
  return linear;
}

// Sorts the n rows (row-major, d floats each) by cell, stably, so that the
// points of one cell keep their row order. Cell numbering runs in parallel.
// Requires: n < 2^32; the product of the cells fits in memory.
CellGrid build_cell_grid(const float* rows, std::size_t n, std::size_t d, const std::vector<std::size_t>& cells);

}  // namespace vb::query
