#include "query/cell_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "base/errors.h"
#include "pool/pool.h"
#include "query/cell_sweep.h"

namespace vb::query {

namespace {

// Row keys pack a 31-bit id with a distance's 32 bits into a non-negative
// int64, so that sorting the keys sorts the row.
constexpr std::size_t kMostPoints = std::size_t{1} << 31;
// A chunk reserves room for the keys its rows are expected to find, this much
// more than the evenly spread estimate, and at most kMostReservedKeys (512 MiB).
constexpr double kReserveShare = 1.25;
constexpr double kMostReservedKeys = 0x1p26;

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

// What a sweep found, chunk by chunk: per measured row its source row and
// its keys, sorted. A pair list keys point i's partners j > i as
// j << 32 | distance bits (sorted: by partner); radius rows key the points as
// distance bits << 32 | id (sorted: by distance, then id), leaving out the
// row's excluded id.
class Collector final : public SweepVisitor {
 public:
  enum class Kind { kPairs, kRows };

  // `expected`: about how many keys a row finds, to reserve room for.
  Collector(const CellGrid& homes, Kind kind, const std::int64_t* exclude, double expected)
      : homes_(homes), kind_(kind), exclude_(exclude), expected_(expected) {}

  // Reserving what the rows can find spares the chunks' growth (a copy and
  // fresh pages each time); room that is never written costs no memory.
  void on_start(const std::vector<std::size_t>& chunk_rows) override {
    chunks_.resize(chunk_rows.size());
    for (std::size_t c = 0; c < chunk_rows.size(); ++c) {
      const double keys = std::min(static_cast<double>(chunk_rows[c]) * expected_, kMostReservedKeys);
      chunks_[c].keys.reserve(static_cast<std::size_t>(keys) + 64);
      chunks_[c].rows.reserve(chunk_rows[c]);
      chunks_[c].ends.reserve(chunk_rows[c]);
    }
  }

  void on_row(std::size_t chunk, std::size_t position, const CandidateSlice& slice, const float* dist,
              const std::uint16_t* admit) override {
    Chunk& c = chunks_[chunk];
    const std::uint32_t row = homes_.row[position];
    const std::size_t begin = c.keys.size();
    c.keys.resize(begin + slice.count);  // room for every candidate, left uninitialised
    std::int64_t* at = c.keys.data() + begin;
    if (kind_ == Kind::kPairs) {
      for_each_admitted(slice, admit, [&](std::size_t k) {
        const std::uint32_t j = slice.rows[k];
        *at = static_cast<std::int64_t>(j) << 32 | std::bit_cast<std::uint32_t>(dist[k]);
        at += j > row;
      });
      if (!slice.ascending) std::sort(c.keys.data() + begin, at);  // else the partners came sorted
    } else {
      const std::int64_t excluded = exclude_ != nullptr ? exclude_[row] : -1;
      for_each_admitted(slice, admit, [&](std::size_t k) {
        const std::int64_t id = slice.rows[k];
        *at = static_cast<std::int64_t>(std::bit_cast<std::uint32_t>(dist[k])) << 32 | id;
        at += id != excluded;
      });
      std::sort(c.keys.data() + begin, at);
    }
    c.keys.resize(static_cast<std::size_t>(at - c.keys.data()));
    c.rows.push_back(row);
    c.ends.push_back(c.keys.size());
  }

  // Row starts (m + 1 entries, the first 0) from the rows' lengths.
  Buffer<std::int64_t> starts(std::size_t m) const {
    Buffer<std::int64_t> start(m + 1, 0);
    for (const Chunk& c : chunks_) {
      for (std::size_t r = 0; r < c.rows.size(); ++r) {
        start[c.rows[r] + 1] = static_cast<std::int64_t>(c.ends[r] - (r == 0 ? 0 : c.ends[r - 1]));
      }
    }
    for (std::size_t i = 0; i < m; ++i) start[i + 1] += start[i];
    return start;
  }

  // Calls write(row, keys, count) for every measured row, chunks in parallel.
  template <class Write>
  void each_row(Write&& write) const {
    pool::parallel_for(chunks_.size(), 1, [&](std::size_t c0, std::size_t c1) {
      for (std::size_t ci = c0; ci < c1; ++ci) {
        const Chunk& c = chunks_[ci];
        for (std::size_t r = 0; r < c.rows.size(); ++r) {
          const std::size_t begin = r == 0 ? 0 : c.ends[r - 1];
          write(c.rows[r], c.keys.data() + begin, c.ends[r] - begin);
        }
      }
    });
  }

 private:
  struct Chunk {
    Buffer<std::int64_t> keys;
    std::vector<std::uint32_t> rows;
    std::vector<std::size_t> ends;
  };
  const CellGrid& homes_;
  Kind kind_;
  const std::int64_t* exclude_;
  double expected_;
  std::vector<Chunk> chunks_;
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
  const PeriodRange range = period_range(metric);
  for (double p : period_) {
    if (!(p > 0.0) || !std::isfinite(p)) throw ArgumentError("every period must be positive and finite");
    if (p < range.low || p > range.high) {
      throw ArgumentError("a period of " + std::to_string(p) + " is outside the range whose distances single "
                          "precision can hold");
    }
    unit = unit && p == 1.0;
  }
  if (!unit) scale_.assign(period_.begin(), period_.end());
  kernels_ = kernels::choose_kernels(kernels::KernelNeeds{d, metric, !scale_.empty(), 1});
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
  const SweepJob job{g.get(), g.get(), plan.rings, metric_, scale(), summed_bound(radius, metric_), true,
                     plan.within / 2.0, plan.group, static_cast<double>(n_) * plan.listed, kernels_.tile,
                     kernels_.pack};
  Collector found(*g, Collector::Kind::kPairs, nullptr, kReserveShare * plan.within / 2.0 + 8.0);
  sweep_cells(job, found);
  const Buffer<std::int64_t> start = found.starts(n_);
  out.pairs.resize(2 * static_cast<std::size_t>(start[n_]));
  out.dists.resize(static_cast<std::size_t>(start[n_]));
  found.each_row([&](std::uint32_t i, const std::int64_t* keys, std::size_t count) {
    const auto first = static_cast<std::size_t>(start[i]);
    for (std::size_t t = 0; t < count; ++t) {
      out.pairs[2 * (first + t)] = i;
      out.pairs[2 * (first + t) + 1] = keys[t] >> 32;
      out.dists[first + t] = reported(static_cast<std::uint32_t>(keys[t]), metric_);
    }
  });
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
    const SweepJob job{g.get(), &homes, plan.rings, metric_, scale(), summed_bound(radius, metric_), false, 0.0,
                       plan.group, static_cast<double>(m) * plan.listed, kernels_.tile, kernels_.pack};
    Collector found(homes, Collector::Kind::kRows, exclude, kReserveShare * plan.within + 8.0);
    sweep_cells(job, found);
    out.indptr = found.starts(m);
    out.ids.resize(static_cast<std::size_t>(out.indptr[m]));
    out.dists.resize(out.ids.size());
    found.each_row([&](std::uint32_t q, const std::int64_t* keys, std::size_t count) {
      const auto first = static_cast<std::size_t>(out.indptr[q]);
      for (std::size_t t = 0; t < count; ++t) {
        out.ids[first + t] = keys[t] & 0xffffffff;
        out.dists[first + t] = reported(static_cast<std::uint32_t>(keys[t] >> 32), metric_);
      }
    });
  }
  return out;
}

}  // namespace vb::query
