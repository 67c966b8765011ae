#include "query/cell_sweep.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "base/cpu_level.h"
#include "pool/cancel.h"
#include "pool/pool.h"

namespace vb::query {

namespace {

// Rows measured per kernel call: their distances to a slice stay in L2.
constexpr std::size_t kBatchRows = 8;

struct FreeAligned {
  void operator()(float* p) const { std::free(p); }
};

// One task's scratch, grown to the largest slice and kept for its home cells.
struct SweepScratch {
  explicit SweepScratch(std::size_t d)
      : tile(aligned_floats(kSliceCandidates * d)), dist(kBatchRows * kSliceCandidates),
        admit(kBatchRows * (kSliceCandidates / kPanelWidth)) {
    positions.reserve(kSliceCandidates);
    rows.reserve(kSliceCandidates);
  }

  static std::unique_ptr<float[], FreeAligned> aligned_floats(std::size_t count) {
    const std::size_t bytes = (count * sizeof(float) + 63) / 64 * 64;
    auto* p = static_cast<float*>(std::aligned_alloc(64, std::max<std::size_t>(bytes, 64)));
    if (p == nullptr) throw std::bad_alloc();
    return std::unique_ptr<float[], FreeAligned>(p);
  }

  std::vector<std::int64_t> positions;  // of the slice's candidates in the point grid
  std::vector<std::uint32_t> rows;      // their source rows
  std::unique_ptr<float[], FreeAligned> tile;
  std::vector<float> dist;
  std::vector<std::uint16_t> admit;
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // position ranges of the neighbourhood
  std::vector<std::size_t> axis_cells;                      // per axis j >= 1: its neighbouring cells, flattened
  std::vector<std::size_t> axis_begin;
};

// The cells of axis j within `rings` of cell h, each once, in ascending ring order.
void neighbour_cells(std::size_t h, std::size_t cells, std::size_t rings, std::vector<std::size_t>& out) {
  if (2 * rings + 1 >= cells) {
    for (std::size_t c = 0; c < cells; ++c) out.push_back(c);
    return;
  }
  for (std::size_t o = 0; o <= 2 * rings; ++o) out.push_back((h + cells - rings + o) % cells);
}

// The position ranges of the points in the neighbourhood of home cell `home`:
// per combination of neighbouring cells on axes 1 .. d-1, the run of axis-0
// cells within rings (one range, or two where it wraps round).
void neighbourhood_runs(const CellGrid& grid, const std::vector<std::size_t>& rings, std::size_t home,
                        SweepScratch& s) {
  const std::size_t d = grid.d;
  s.runs.clear();
  s.axis_cells.clear();
  s.axis_begin.assign(d + 1, 0);
  std::size_t h0 = home % grid.cells[0];
  for (std::size_t j = 1; j < d; ++j) {
    s.axis_begin[j] = s.axis_cells.size();
    neighbour_cells(home / grid.stride[j] % grid.cells[j], grid.cells[j], rings[j], s.axis_cells);
  }
  s.axis_begin[d] = s.axis_cells.size();
  // Axis-0 runs as cell ranges [a, b).
  std::pair<std::size_t, std::size_t> span[2];
  std::size_t spans = 1;
  const std::size_t c0 = grid.cells[0];
  if (2 * rings[0] + 1 >= c0) {
    span[0] = {0, c0};
  } else if (h0 < rings[0]) {
    span[0] = {0, h0 + rings[0] + 1};
    span[1] = {h0 + c0 - rings[0], c0};
    spans = 2;
  } else if (h0 + rings[0] >= c0) {
    span[0] = {0, h0 + rings[0] + 1 - c0};
    span[1] = {h0 - rings[0], c0};
    spans = 2;
  } else {
    span[0] = {h0 - rings[0], h0 + rings[0] + 1};
  }
  // An odometer over the neighbouring cells of axes 1 .. d-1.
  std::vector<std::size_t> digit(d, 0);
  while (true) {
    std::size_t base = 0;
    for (std::size_t j = 1; j < d; ++j) base += s.axis_cells[s.axis_begin[j] + digit[j]] * grid.stride[j];
    for (std::size_t k = 0; k < spans; ++k) {
      const std::size_t lo = grid.start[base + span[k].first];
      const std::size_t hi = grid.start[base + span[k].second];
      if (lo < hi) s.runs.emplace_back(lo, hi);
    }
    std::size_t j = 1;
    for (; j < d; ++j) {
      if (++digit[j] < s.axis_begin[j + 1] - s.axis_begin[j]) break;
      digit[j] = 0;
    }
    if (j >= d) break;
  }
}

class HomeSweep {
 public:
  HomeSweep(const SweepJob& job, SweepVisitor& visitor)
      : job_(job), visitor_(visitor), d_(job.points->d),
        kernel_(tile_kernel(cpu_level(), d_, job.metric, job.scale != nullptr)), pack_(tile_pack(cpu_level(), d_)),
        bound_(kBatchRows, std::bit_cast<std::uint32_t>(job.bound)) {}

  void home(std::size_t cell, SweepScratch& s) const {
    const CellGrid& homes = *job_.homes;
    const std::size_t p0 = homes.start[cell];
    const std::size_t p1 = homes.start[cell + 1];
    neighbourhood_runs(*job_.points, job_.rings, cell, s);
    s.positions.clear();
    for (const auto& [lo, hi] : s.runs) {
      for (std::size_t q = lo; q < hi; ++q) {
        s.positions.push_back(static_cast<std::int64_t>(q));
        if (s.positions.size() == kSliceCandidates) measure(p0, p1, s);
      }
    }
    if (!s.positions.empty()) measure(p0, p1, s);
    visitor_.on_home_done(p0, p1);
  }

 private:
  // Measures rows p0 .. p1-1 against the candidates listed in s.positions, then empties the list.
  void measure(std::size_t p0, std::size_t p1, SweepScratch& s) const {
    const CellGrid& points = *job_.points;
    const std::size_t count = s.positions.size();
    s.rows.resize(count);
    for (std::size_t k = 0; k < count; ++k) s.rows[k] = points.row[static_cast<std::size_t>(s.positions[k])];
    pack_(points.coords.data(), d_, s.positions.data(), count, s.tile.get());
    const CandidateSlice slice{s.rows.data(), count, (count + kPanelWidth - 1) / kPanelWidth};
    const float* queries[kBatchRows];
    for (std::size_t r0 = p0; r0 < p1; r0 += kBatchRows) {
      const std::size_t rows = std::min(kBatchRows, p1 - r0);
      for (std::size_t r = 0; r < rows; ++r) queries[r] = job_.homes->point(r0 + r);
      TileJob tile{queries, rows, d_, s.tile.get(), slice.panels, bound_.data(), s.dist.data(), s.admit.data(),
                   job_.scale};
      kernel_(tile);
      for (std::size_t r = 0; r < rows; ++r) {
        visitor_.on_row(r0 + r, slice, s.dist.data() + r * slice.panels * kPanelWidth,
                        s.admit.data() + r * slice.panels);
      }
    }
    s.positions.clear();
  }

  const SweepJob& job_;
  SweepVisitor& visitor_;
  std::size_t d_;
  TileKernel kernel_;
  TilePack pack_;
  std::vector<std::uint32_t> bound_;
};

}  // namespace

void sweep_cells(const SweepJob& job, SweepVisitor& visitor) {
  const CellGrid& homes = *job.homes;
  std::vector<std::size_t> occupied;
  for (std::size_t c = 0; c < homes.total_cells(); ++c) {
    if (homes.start[c + 1] > homes.start[c]) occupied.push_back(c);
  }
  if (occupied.empty() || job.points->size() == 0) {
    for (std::size_t c : occupied) visitor.on_home_done(homes.start[c], homes.start[c + 1]);
    return;
  }
  const HomeSweep sweep(job, visitor);
  // Several pieces per thread, so that a thread done early takes over cells.
  const std::size_t grain = std::max<std::size_t>(1, occupied.size() / (8 * pool::num_threads()));
  pool::parallel_for(occupied.size(), grain, [&](std::size_t i0, std::size_t i1) {
    SweepScratch scratch(job.points->d);
    for (std::size_t i = i0; i < i1; ++i) {
      pool::cancellation_point();
      sweep.home(occupied[i], scratch);
    }
  });
}

}  // namespace vb::query
