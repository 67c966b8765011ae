#include "query/cell_sweep.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "pool/cancel.h"
#include "pool/pool.h"

namespace vb::query {

using kernels::kPanelWidth;
using kernels::TileJob;
using kernels::TileKernel;
using kernels::TilePack;

namespace {

// Rows measured per kernel call: their distances to a neighbourhood stay in
// cache for the visitor that reads them.
constexpr std::size_t kBatchRows = 8;
// Candidates measured (about 0.3 ms) below which a sweep stays on the calling thread.
constexpr double kPoolWork = 1 << 20;
// Home cells between two cancellation points (each reads a clock).
constexpr std::size_t kHomesPerPoll = 32;

struct FreeAligned {
  void operator()(float* p) const { std::free(p); }
};

// One task's scratch, grown to the largest neighbourhood and kept for its home cells.
struct SweepScratch {
  std::vector<std::int64_t> positions;  // of the neighbourhood's points in the point grid
  std::vector<std::uint32_t> rows;      // their source rows
  std::unique_ptr<float[], FreeAligned> tile;
  std::size_t tile_floats = 0;
  std::vector<float> dist;
  std::vector<std::uint16_t> admit;
  std::vector<std::size_t> axis_cells;  // per axis j >= 1: its neighbouring cells, flattened
  std::vector<std::size_t> axis_begin;
  std::vector<std::size_t> digit;
  std::vector<std::uint64_t> order;     // source row << 32 | position, for sorting

  void reserve_tile(std::size_t panels, std::size_t d) {
    const std::size_t floats = panels * kPanelWidth * d;
    if (floats > tile_floats) {
      const std::size_t bytes = std::max<std::size_t>((floats * sizeof(float) + 63) / 64 * 64, 64);
      auto* p = static_cast<float*>(std::aligned_alloc(64, bytes));
      if (p == nullptr) throw std::bad_alloc();
      tile.reset(p);
      tile_floats = floats;
    }
    if (dist.size() < kBatchRows * panels * kPanelWidth) dist.resize(kBatchRows * panels * kPanelWidth);
    if (admit.size() < kBatchRows * panels) admit.resize(kBatchRows * panels);
  }
};

// The cells of axis j within `rings` of cell h, each once.
void neighbour_cells(std::size_t h, std::size_t cells, std::size_t rings, std::vector<std::size_t>& out) {
  if (2 * rings + 1 >= cells) {
    for (std::size_t c = 0; c < cells; ++c) out.push_back(c);
    return;
  }
  for (std::size_t o = 0; o <= 2 * rings; ++o) out.push_back((h + cells - rings + o) % cells);
}

// Lists the grid positions of the points in the neighbourhood of the home
// cells home .. home + width - 1 (a run along axis 0): per combination of
// neighbouring cells on axes 1 .. d-1, the run of axis-0 cells within rings
// of any of them (one position range, or two where it wraps).
void list_neighbourhood(const CellGrid& grid, const std::vector<std::size_t>& rings, std::size_t home,
                        std::size_t width, SweepScratch& s) {
  const std::size_t d = grid.d;
  s.positions.clear();
  s.rows.clear();
  s.axis_cells.clear();
  s.axis_begin.assign(d + 1, 0);
  for (std::size_t j = 1; j < d; ++j) {
    s.axis_begin[j] = s.axis_cells.size();
    neighbour_cells(home / grid.stride[j] % grid.cells[j], grid.cells[j], rings[j], s.axis_cells);
  }
  s.axis_begin[d] = s.axis_cells.size();
  // Axis-0 runs as cell ranges [a, b).
  const std::size_t h0 = home % grid.cells[0];
  const std::size_t c0 = grid.cells[0];
  const std::size_t r0 = rings[0];
  const std::size_t end = h0 + width + r0;  // one past the last cell, before wrapping
  std::pair<std::size_t, std::size_t> span[2] = {{0, c0}, {0, 0}};
  if (width + 2 * r0 < c0) {
    if (h0 < r0) {
      span[0] = {0, end};
      span[1] = {h0 + c0 - r0, c0};
    } else if (end > c0) {
      span[0] = {0, end - c0};
      span[1] = {h0 - r0, c0};
    } else {
      span[0] = {h0 - r0, end};
    }
  }
  // An odometer over the neighbouring cells of axes 1 .. d-1; each position
  // range is written whole, with the source rows of its points.
  s.digit.assign(d, 0);
  while (true) {
    std::size_t base = 0;
    for (std::size_t j = 1; j < d; ++j) base += s.axis_cells[s.axis_begin[j] + s.digit[j]] * grid.stride[j];
    for (const auto& [a, b] : span) {
      if (a >= b) continue;
      const std::size_t lo = grid.start[base + a];
      const std::size_t hi = grid.start[base + b];
      const std::size_t at = s.positions.size();
      s.positions.resize(at + (hi - lo));
      s.rows.resize(at + (hi - lo));
      for (std::size_t q = lo; q < hi; ++q) {
        s.positions[at + (q - lo)] = static_cast<std::int64_t>(q);
        s.rows[at + (q - lo)] = grid.row[q];
      }
    }
    std::size_t j = 1;
    for (; j < d; ++j) {
      if (++s.digit[j] < s.axis_begin[j + 1] - s.axis_begin[j]) break;
      s.digit[j] = 0;
    }
    if (j >= d) break;
  }
}

// Lays the listed points into panels, as tile_pack does, for a dimension
// known at compile time: the few coordinates of a point go to their lanes
// without a loop of unknown length per lane.
template <std::size_t kDim>
void pack_listed(const float* coords, const std::int64_t* positions, std::size_t count, float* tile) {
  const std::size_t lanes = (count + kPanelWidth - 1) / kPanelWidth * kPanelWidth;
  for (std::size_t i = 0; i < count; ++i) {
    float* lane = tile + (i / kPanelWidth) * kDim * kPanelWidth + i % kPanelWidth;
    const float* point = coords + static_cast<std::size_t>(positions[i]) * kDim;
    for (std::size_t c = 0; c < kDim; ++c) lane[c * kPanelWidth] = point[c];
  }
  for (std::size_t i = count; i < lanes; ++i) {
    float* lane = tile + (i / kPanelWidth) * kDim * kPanelWidth + i % kPanelWidth;
    for (std::size_t c = 0; c < kDim; ++c) lane[c * kPanelWidth] = 0.0f;
  }
}

// Small dimensions pack with pack_listed; the others as the kernels do.
TilePack pack_for(std::size_t d, TilePack kernel_pack) {
  switch (d) {
    case 1:
      return [](const float* p, std::size_t, const std::int64_t* ids, std::size_t n, float* t) { pack_listed<1>(p, ids, n, t); };
    case 2:
      return [](const float* p, std::size_t, const std::int64_t* ids, std::size_t n, float* t) { pack_listed<2>(p, ids, n, t); };
    case 3:
      return [](const float* p, std::size_t, const std::int64_t* ids, std::size_t n, float* t) { pack_listed<3>(p, ids, n, t); };
    case 4:
      return [](const float* p, std::size_t, const std::int64_t* ids, std::size_t n, float* t) { pack_listed<4>(p, ids, n, t); };
    default:
      return kernel_pack;
  }
}

// Orders the listed positions, and their source rows, by source row.
void by_source_row(SweepScratch& s) {
  s.order.resize(s.positions.size());
  for (std::size_t k = 0; k < s.positions.size(); ++k) {
    s.order[k] = static_cast<std::uint64_t>(s.rows[k]) << 32 | static_cast<std::uint64_t>(s.positions[k]);
  }
  std::sort(s.order.begin(), s.order.end());
  for (std::size_t k = 0; k < s.positions.size(); ++k) {
    s.positions[k] = static_cast<std::int64_t>(s.order[k] & 0xffffffff);
    s.rows[k] = static_cast<std::uint32_t>(s.order[k] >> 32);
  }
}

class HomeSweep {
 public:
  HomeSweep(const SweepJob& job, SweepVisitor& visitor)
      : job_(job), visitor_(visitor), d_(job.points->d),
        kernel_(job.tile), pack_(pack_for(d_, job.pack)),
        bound_(kBatchRows, std::bit_cast<std::uint32_t>(job.bound)),
        row_sort_(2.0 * job.partners * std::log2(std::max(job.partners, 2.0))) {}

  // Whether sorting a neighbourhood of `count` points for `rows` rows costs
  // less than sorting each row's partners; sorted, the rows also skip about
  // half of the neighbourhood, which counts as much again as the row sorts.
  bool sort_neighbourhood(std::size_t rows, std::size_t count) const {
    const auto n = static_cast<double>(count);
    return n * std::log2(std::max(n, 2.0)) <= static_cast<double>(rows) * row_sort_;
  }

  // Measures the rows of the home cells cell .. cell + width - 1 against
  // their neighbourhood.
  void home(std::size_t chunk, std::size_t cell, std::size_t width, SweepScratch& s) const {
    const CellGrid& points = *job_.points;
    const CellGrid& homes = *job_.homes;
    const std::size_t p0 = homes.start[cell];
    const std::size_t p1 = homes.start[cell + width];
    list_neighbourhood(points, job_.rings, cell, width, s);
    const std::size_t count = s.positions.size();
    const std::size_t panels = (count + kPanelWidth - 1) / kPanelWidth;
    s.reserve_tile(panels, d_);
    const bool ascending = job_.later_only && sort_neighbourhood(p1 - p0, count);
    if (ascending) by_source_row(s);
    if (count != 0) pack_(points.coords.data(), d_, s.positions.data(), count, s.tile.get());
    const float* queries[kBatchRows];
    for (std::size_t r0 = p0; r0 < p1; r0 += kBatchRows) {
      const std::size_t rows = std::min(kBatchRows, p1 - r0);
      std::size_t first = 0;  // panels before it hold no row above the batch's rows
      if (ascending) {
        std::uint32_t lowest = homes.row[r0];
        for (std::size_t r = 1; r < rows; ++r) lowest = std::min(lowest, homes.row[r0 + r]);
        first = static_cast<std::size_t>(std::upper_bound(s.rows.begin(), s.rows.end(), lowest) - s.rows.begin()) /
                kPanelWidth;
      }
      const CandidateSlice part{s.rows.data() + first * kPanelWidth, count - first * kPanelWidth, panels - first,
                                ascending};
      if (part.count != 0) {
        for (std::size_t r = 0; r < rows; ++r) queries[r] = homes.point(r0 + r);
        const TileJob tile{queries, rows, d_, s.tile.get() + first * d_ * kPanelWidth, part.panels, bound_.data(),
                           s.dist.data(), s.admit.data(), job_.scale};
        kernel_(tile);
      }
      for (std::size_t r = 0; r < rows; ++r) {
        visitor_.on_row(chunk, r0 + r, part, s.dist.data() + r * part.panels * kPanelWidth,
                        s.admit.data() + r * part.panels);
      }
    }
  }

 private:
  const SweepJob& job_;
  SweepVisitor& visitor_;
  std::size_t d_;
  TileKernel kernel_;
  TilePack pack_;
  std::vector<std::uint32_t> bound_;
  double row_sort_;  // the modelled cost of sorting one row's partners, doubled
};

}  // namespace

void sweep_cells(const SweepJob& job, SweepVisitor& visitor) {
  const CellGrid& homes = *job.homes;
  // Homes: runs of `group` cells along axis 0 (fewer at the end of an axis)
  // that hold rows, as (first cell, width).
  const std::size_t c0 = homes.cells[0];
  const std::size_t group = std::clamp<std::size_t>(job.group, 1, c0);
  std::vector<std::pair<std::size_t, std::size_t>> occupied;
  for (std::size_t base = 0; base < homes.total_cells(); base += c0) {
    for (std::size_t a = 0; a < c0; a += group) {
      const std::size_t width = std::min(group, c0 - a);
      if (homes.start[base + a + width] > homes.start[base + a]) occupied.emplace_back(base + a, width);
    }
  }
  // Several chunks per thread, so that a thread done early takes over cells.
  const std::size_t pieces = job.work < kPoolWork ? 1 : 8 * pool::num_threads();
  const std::size_t per_chunk = std::max<std::size_t>(1, occupied.size() / pieces);
  const std::size_t chunks = (occupied.size() + per_chunk - 1) / per_chunk;
  std::vector<std::size_t> chunk_rows(chunks, 0);
  for (std::size_t i = 0; i < occupied.size(); ++i) {
    const auto [cell, width] = occupied[i];
    chunk_rows[i / per_chunk] += homes.start[cell + width] - homes.start[cell];
  }
  visitor.on_start(chunk_rows);
  const HomeSweep sweep(job, visitor);
  pool::parallel_for(chunks, pieces == 1 ? chunks : 1, [&](std::size_t first, std::size_t last) {
    SweepScratch scratch;
    for (std::size_t c = first; c < last; ++c) {
      const std::size_t end = std::min(occupied.size(), (c + 1) * per_chunk);
      for (std::size_t i = c * per_chunk; i < end; ++i) {
        if ((i - c * per_chunk) % kHomesPerPoll == 0) pool::cancellation_point();
        sweep.home(c, occupied[i].first, occupied[i].second, scratch);
      }
    }
  });
}

}  // namespace vb::query
