#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/buffer.h"
#include "base/metric.h"
#include "kernels/kernel_table.h"
#include "query/cell_grid.h"
#include "query/cell_plan.h"
#include "query/radius.h"

// Exact radius search in a periodic box by cell lists: every point within the
// radius is found, whatever the density, because every cell within the
// radius's rings on each axis is visited (cell_plan.h says why the rings
// suffice). Distances are those of the tile kernels, bit for bit those of the
// engine's other paths: single precision, in their summation order, the
// threshold the radius rounded to single precision (squared for L2).
namespace vb::query {

// The self pair list: pair k is (pairs[2k], pairs[2k + 1]) with the first id
// below the second, pairs in lexicographic order, dists[k] its distance.
struct PairList {
  Buffer<std::int64_t> pairs;
  Buffer<double> dists;
  std::size_t size() const { return dists.size(); }
};

// A set of points on the unit torus with the way they are measured, and the
// cell grid of the last cutting a search asked for. Searches only read the
// points, so several may run at once on one object.
class CellIndex {
 public:
  // rows: n × d coordinates on the unit torus (those outside [0, 1] are
  // taken modulo 1); period: d axis periods in box units, or empty for the
  // unit torus; their single-precision values scale the terms unless all are 1.
  // Requires: every coordinate finite, every period positive and finite, n < 2^32.
  CellIndex(const double* rows, std::size_t n, std::size_t d, Metric metric, std::vector<double> period);

  std::size_t size() const { return n_; }
  std::size_t dims() const { return d_; }
  const std::vector<double>& period() const { return period_; }  // d periods, 1.0 on the unit torus

  // The cutting a search of `rows` query rows within `radius` uses.
  CellPlan plan(double radius, std::size_t rows) const;

  // Every pair of points within `radius`, built in parallel and written once
  // into its final place: a first sweep counts each point's later partners,
  // a second writes them, each point's row sorted by partner id.
  PairList pairs(double radius) const;

  // For m query rows (row-major, dq values on the unit torus): every point
  // within `radius`, ascending by (distance, id), as the engine's radius
  // search orders them; exclude is null or holds one id per row to leave out.
  // Throws ArgumentError when dq differs from the points' d.
  RadiusResult radius_rows(const double* queries, std::size_t m, std::size_t dq, double radius,
                           const std::int64_t* exclude) const;

 private:
  std::shared_ptr<const CellGrid> grid(const std::vector<std::size_t>& cells) const;
  const float* scale() const { return scale_.empty() ? nullptr : scale_.data(); }

  std::size_t n_;
  std::size_t d_;
  Metric metric_;
  std::vector<double> period_;  // d periods, 1.0 on the unit torus
  std::vector<float> scale_;    // empty unless some period differs from 1
  kernels::KernelTable kernels_;  // for d_ and the form, chosen at construction
  Buffer<float> points_;        // n × d, single precision
  mutable std::mutex grid_mutex_;
  mutable std::shared_ptr<const CellGrid> grid_;
};

}  // namespace vb::query
