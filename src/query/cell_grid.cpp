#include "query/cell_grid.h"

#include "base/errors.h"
#include "pool/pool.h"

namespace vb::query {

CellGrid build_cell_grid(const float* rows, std::size_t n, std::size_t d, const std::vector<std::size_t>& cells) {
  VB_CHECK(cells.size() == d, "one cell count per axis");
  VB_CHECK(n < (std::size_t{1} << 32), "cell grids hold fewer than 2^32 points");
  CellGrid grid;
  grid.d = d;
  grid.cells = cells;
  grid.stride.resize(d);
  std::size_t total = 1;
  for (std::size_t j = 0; j < d; ++j) {
    grid.stride[j] = total;
    total *= cells[j];
  }
  Buffer<std::uint32_t> linear(n);
  pool::parallel_for(n, 16384, [&](std::size_t i0, std::size_t i1) {
    for (std::size_t i = i0; i < i1; ++i) {
      linear[i] = static_cast<std::uint32_t>(cell_of(rows + i * d, grid.cells, grid.stride));
    }
  });
  // A counting sort: counts, their running sum, then each point to its slot.
  grid.start.assign(total + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++grid.start[linear[i] + 1];
  for (std::size_t c = 0; c < total; ++c) grid.start[c + 1] += grid.start[c];
  Buffer<std::uint32_t> next(grid.start.begin(), grid.start.end() - 1);
  grid.row.resize(n);
  grid.coords.resize(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t at = next[linear[i]]++;
    grid.row[at] = static_cast<std::uint32_t>(i);
    for (std::size_t j = 0; j < d; ++j) grid.coords[at * d + j] = rows[i * d + j];
  }
  return grid;
}

}  // namespace vb::query
