#include "query/cell_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "base/errors.h"
#include "query/cell_sweep.h"

namespace vb::query {

namespace {

// Row keys pack a 31-bit id with a distance's 32 bits into a non-negative
// int64, so that sorting the keys sorts the row.
constexpr std::size_t kMostPoints = std::size_t{1} << 31;

float wrapped(double x) {
  // Coordinates on the torus already are kept as they are, so that their
  // single-precision values, and hence the distances, are the engine's.
  if (!(x >= 0.0 && x <= 1.0)) x -= std::floor(x);
  return static_cast<float>(x);
}

Buffer<float> to_unit_f32(const double* rows, std::size_t count) {
  Buffer<float> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(rows[i])) throw ArgumentError("coordinates must be finite");
    out[i] = wrapped(rows[i]);
  }
  return out;
}

double reported(std::uint32_t bits, Metric metric) {
  return static_cast<double>(reported_distance(std::bit_cast<float>(bits), metric));
}

// Pair list, first sweep: per point, the partners with a larger id.
class PairCounter final : public SweepVisitor {
 public:
  PairCounter(const CellGrid& grid, Buffer<std::int64_t>& counts) : grid_(grid), counts_(counts) {}
  void on_row(std::size_t position, const CandidateSlice& slice, const float*, const std::uint16_t* admit) override {
    const std::uint32_t i = grid_.row[position];
    std::int64_t found = 0;
    for_each_admitted(slice, admit, [&](std::size_t k) { found += slice.rows[k] > i; });
    counts_[i] += found;
  }
  void on_home_done(std::size_t, std::size_t) override {}

 private:
  const CellGrid& grid_;
  Buffer<std::int64_t>& counts_;
};

// Pair list, second sweep: point i's keys (partner << 32 | distance bits) go
// to the upper half of its row's slots in `pairs`; once its home cell is done
// they are sorted and spread over the whole row, each read before its slot is
// overwritten (key t is read before slots 2t and 2t + 1, which hold keys of
// index at most t).
class PairWriter final : public SweepVisitor {
 public:
  PairWriter(const CellGrid& grid, const Buffer<std::int64_t>& offsets, PairList& out, Metric metric)
      : grid_(grid), offsets_(offsets), out_(out), metric_(metric), cursor_(grid.size()) {
    for (std::size_t i = 0; i < grid.size(); ++i) cursor_[i] = offsets[i] + offsets[i + 1];
  }
  void on_row(std::size_t position, const CandidateSlice& slice, const float* dist,
              const std::uint16_t* admit) override {
    const std::uint32_t i = grid_.row[position];
    std::int64_t* slots = out_.pairs.data();
    std::int64_t at = cursor_[i];
    for_each_admitted(slice, admit, [&](std::size_t k) {
      const std::uint32_t j = slice.rows[k];
      if (j > i) slots[at++] = static_cast<std::int64_t>(j) << 32 | std::bit_cast<std::uint32_t>(dist[k]);
    });
    cursor_[i] = at;
  }
  void on_home_done(std::size_t p0, std::size_t p1) override {
    std::int64_t* slots = out_.pairs.data();
    for (std::size_t p = p0; p < p1; ++p) {
      const std::uint32_t i = grid_.row[p];
      const std::int64_t first = offsets_[i];
      const std::int64_t count = offsets_[i + 1] - first;
      VB_CHECK(cursor_[i] == 2 * first + 2 * count, "the second sweep found what the first counted");
      std::int64_t* keys = slots + 2 * first + count;
      std::sort(keys, keys + count);
      for (std::int64_t t = 0; t < count; ++t) {
        const std::int64_t key = keys[t];
        slots[2 * (first + t)] = i;
        slots[2 * (first + t) + 1] = key >> 32;
        out_.dists[static_cast<std::size_t>(first + t)] = reported(static_cast<std::uint32_t>(key), metric_);
      }
    }
  }

 private:
  const CellGrid& grid_;
  const Buffer<std::int64_t>& offsets_;
  PairList& out_;
  Metric metric_;
  Buffer<std::int64_t> cursor_;
};

// Radius rows: the first sweep counts each row, the second writes keys
// (distance bits << 32 | id) into the row's id slots, then sorts and unpacks.
class RowSweep final : public SweepVisitor {
 public:
  RowSweep(const CellGrid& homes, const std::int64_t* exclude, RadiusResult& out, Metric metric, bool write)
      : homes_(homes), exclude_(exclude), out_(out), metric_(metric), write_(write) {
    if (write) cursor_.assign(out.indptr.begin(), out.indptr.end() - 1);
  }
  void on_row(std::size_t position, const CandidateSlice& slice, const float* dist,
              const std::uint16_t* admit) override {
    const std::uint32_t q = homes_.row[position];
    const std::int64_t excluded = exclude_ != nullptr ? exclude_[q] : -1;
    if (!write_) {
      std::int64_t found = 0;
      for_each_admitted(slice, admit, [&](std::size_t k) { found += slice.rows[k] != excluded; });
      out_.indptr[q + 1] += found;
      return;
    }
    std::int64_t at = cursor_[q];
    for_each_admitted(slice, admit, [&](std::size_t k) {
      const std::int64_t id = slice.rows[k];
      if (id != excluded) {
        out_.ids[static_cast<std::size_t>(at++)] =
            static_cast<std::int64_t>(std::bit_cast<std::uint32_t>(dist[k])) << 32 | id;
      }
    });
    cursor_[q] = at;
  }
  void on_home_done(std::size_t p0, std::size_t p1) override {
    if (!write_) return;
    for (std::size_t p = p0; p < p1; ++p) {
      const std::uint32_t q = homes_.row[p];
      const std::int64_t lo = out_.indptr[q];
      const std::int64_t hi = out_.indptr[q + 1];
      VB_CHECK(cursor_[q] == hi, "the second sweep found what the first counted");
      std::int64_t* keys = out_.ids.data() + lo;
      std::sort(keys, keys + (hi - lo));
      for (std::int64_t t = lo; t < hi; ++t) {
        const std::int64_t key = out_.ids[static_cast<std::size_t>(t)];
        out_.ids[static_cast<std::size_t>(t)] = key & 0xffffffff;
        out_.dists[static_cast<std::size_t>(t)] = reported(static_cast<std::uint32_t>(key >> 32), metric_);
      }
    }
  }

 private:
  const CellGrid& homes_;
  const std::int64_t* exclude_;
  RadiusResult& out_;
  Metric metric_;
  bool write_;
  Buffer<std::int64_t> cursor_;
};

}  // namespace

CellIndex::CellIndex(const double* rows, std::size_t n, std::size_t d, Metric metric, std::vector<double> period)
    : n_(n), d_(d), metric_(metric), period_(std::move(period)) {
  if (d == 0) throw ArgumentError("points need at least one coordinate");
  if (n >= kMostPoints) throw ArgumentError("a cell search holds fewer than 2^31 points");
  if (period_.empty()) period_.assign(d, 1.0);
  if (period_.size() != d) {
    throw ArgumentError("coordinates have " + std::to_string(d) + " columns but there are " +
                        std::to_string(period_.size()) + " periods");
  }
  bool unit = true;
  for (double p : period_) {
    if (!(p > 0.0) || !std::isfinite(p)) throw ArgumentError("every period must be positive and finite");
    unit = unit && p == 1.0;
  }
  if (!unit) scale_.assign(period_.begin(), period_.end());
  points_ = to_unit_f32(rows, n * d);
}

CellPlan CellIndex::plan(double radius, std::size_t rows) const {
  return plan_cells(n_, rows, radius, metric_, period_);
}

std::shared_ptr<const CellGrid> CellIndex::grid(const std::vector<std::size_t>& cells) const {
  {
    std::lock_guard<std::mutex> lock(grid_mutex_);
    if (grid_ != nullptr && grid_->cells == cells) return grid_;
  }
  auto made = std::make_shared<const CellGrid>(build_cell_grid(points_.data(), n_, d_, cells));
  std::lock_guard<std::mutex> lock(grid_mutex_);
  grid_ = made;
  return made;
}

PairList CellIndex::pairs(double radius) const {
  PairList out;
  const CellPlan plan = this->plan(radius, n_);
  if (plan.admits_nothing || n_ < 2) return out;
  const std::shared_ptr<const CellGrid> g = grid(plan.cells);
  SweepJob job{g.get(), g.get(), plan.rings, metric_, scale(), summed_bound(radius, metric_)};
  Buffer<std::int64_t> offsets(n_ + 1, 0);
  PairCounter counter(*g, offsets);  // counts land at offsets[i], summed in place below
  sweep_cells(job, counter);
  std::int64_t total = 0;
  for (std::size_t i = 0; i < n_; ++i) {
    const std::int64_t c = offsets[i];
    offsets[i] = total;
    total += c;
  }
  offsets[n_] = total;
  out.pairs.resize(2 * static_cast<std::size_t>(total));
  out.dists.resize(static_cast<std::size_t>(total));
  PairWriter writer(*g, offsets, out, metric_);
  sweep_cells(job, writer);
  return out;
}

RadiusResult CellIndex::radius_rows(const double* queries, std::size_t m, std::size_t dq, double radius,
                                    const std::int64_t* exclude) const {
  if (dq != d_) {
    throw ArgumentError("queries have " + std::to_string(dq) + " columns but the points have " + std::to_string(d_));
  }
  if (m >= kMostPoints) throw ArgumentError("a cell search takes fewer than 2^31 query rows");
  RadiusResult out;
  out.indptr.assign(m + 1, 0);
  const CellPlan plan = this->plan(radius, m);
  if (!plan.admits_nothing && n_ > 0 && m > 0) {
    const std::shared_ptr<const CellGrid> g = grid(plan.cells);
    const Buffer<float> rows = to_unit_f32(queries, m * dq);
    const CellGrid homes = build_cell_grid(rows.data(), m, d_, plan.cells);
    SweepJob job{g.get(), &homes, plan.rings, metric_, scale(), summed_bound(radius, metric_)};
    RowSweep counter(homes, exclude, out, metric_, false);
    sweep_cells(job, counter);
    for (std::size_t q = 0; q < m; ++q) out.indptr[q + 1] += out.indptr[q];
    out.ids.resize(static_cast<std::size_t>(out.indptr[m]));
    out.dists.resize(out.ids.size());
    RowSweep writer(homes, exclude, out, metric_, true);
    sweep_cells(job, writer);
  }
  return out;
}

}  // namespace vb::query
