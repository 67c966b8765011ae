#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/metric.h"
#include "kernels/tile_distance.h"
#include "query/cell_grid.h"

// The sweep of a cell search: every home (a run of `group` cells along axis 0
// holding query rows) is measured against every point of the cells within
// the rings of any of its cells, on the blocked path's tile kernels. A home's
// neighbourhood is packed into panels once and measured against all of the
// home's rows, a few rows per kernel call.
//
// Each cell is visited once: an axis whose 2 * rings + 1 reaches its cell
// count contributes each of its cells once, not once per ring.
namespace vb::query {

// A home cell's neighbourhood, or the part of it a row was measured against:
// candidate k is source row rows[k].
struct CandidateSlice {
  const std::uint32_t* rows;
  std::size_t count;
  std::size_t panels;  // ceil(count / kernels::kPanelWidth)
  bool ascending;      // rows[k] ascend with k
};

// Receives the measurements of a sweep. The home cells are split into
// `chunks` consecutive groups; each group runs on one pool task, so the calls
// for one chunk come from one thread, in home-cell order.
class SweepVisitor {
 public:
  // Called once, on the calling thread, before any row, with the number of
  // rows of each chunk.
  virtual void on_start(const std::vector<std::size_t>& chunk_rows) = 0;
  // Home-grid position `position`, of chunk `chunk`, against its home cell's
  // neighbourhood: dist holds the summed distance of each lane
  // (slice.panels × kernels::kPanelWidth), admit per panel the lanes whose distance
  // bits are at most the bound. Called once per row.
  virtual void on_row(std::size_t chunk, std::size_t position, const CandidateSlice& slice, const float* dist,
                      const std::uint16_t* admit) = 0;

 protected:
  ~SweepVisitor() = default;
};

struct SweepJob {
  const CellGrid* points = nullptr;  // the candidates
  const CellGrid* homes = nullptr;   // the query rows, cut into the same cells
  std::vector<std::size_t> rings;    // per axis
  Metric metric = Metric::kL1;
  const float* scale = nullptr;      // d axis periods, or null on the unit torus
  float bound = 0.0f;                // on the summed distance (squared for L2)
  // Only candidates whose source row is above the row's own are wanted (a
  // self pair list). A neighbourhood shared by enough rows is then laid out
  // by ascending source row, and each batch of rows is measured only from the
  // first panel that holds a row above the batch's smallest one; sorting a
  // neighbourhood for two or three rows would cost more than it saves.
  bool later_only = false;
  double partners = 0.0;  // expected wanted candidates per row, to weigh the sorting
  // Cells along axis 0 that share one neighbourhood (a home): more rows per
  // listing and packing of a neighbourhood, for a few more lanes per row.
  std::size_t group = 1;
  // Expected candidates measured by all rows together: a sweep this small
  // runs on the calling thread, where waking the pool would cost more.
  double work = 0.0;
  // The tile kernel and packing of the points' dimension and form, chosen
  // once by the owner of the points.
  kernels::TileKernel tile = nullptr;
  kernels::TilePack pack = nullptr;
};

// Runs the sweep on the pool, with a cancellation point every few home
// cells. Requires: both grids have the same cells and d >= 1; bound is not
// NaN; tile and pack chosen for that d and the job's form.
void sweep_cells(const SweepJob& job, SweepVisitor& visitor);

// Calls fn(k) for every admitted candidate k of a slice, in ascending k
// (lanes past the slice's last candidate are never reported).
template <class Fn>
inline void for_each_admitted(const CandidateSlice& slice, const std::uint16_t* admit, Fn&& fn) {
  for (std::size_t p = 0; p < slice.panels; ++p) {
    unsigned mask = admit[p];
    const std::size_t base = p * kernels::kPanelWidth;
    if (base + kernels::kPanelWidth > slice.count) mask &= (1u << (slice.count - base)) - 1u;
    while (mask != 0) {
      fn(base + static_cast<std::size_t>(std::countr_zero(mask)));
      mask &= mask - 1u;
    }
  }
}

}  // namespace vb::query
