#include "query/cell_plan.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vb::query {

namespace {

// Margins of the reach: relative for the rounding of the term, its scaling
// and its square (a few units of 2^-24 each), absolute for the rounding of
// two coordinates below 1 and of their difference (2^-24 each at most).
constexpr double kRelativeMargin = 0x1p-16;
constexpr double kAbsoluteMargin = 0x1p-22;
// Cells are cut a little wider than reach / per_ring, so that rounding in the
// reach does not add a ring when the side divides the period exactly.
constexpr double kSideSlack = 1.0 + 0x1p-12;
// Cutting beyond this many cells only adds empty cells to look up.
constexpr std::size_t kMostCells = std::size_t{1} << 26;

// Modelled costs in nanoseconds, fitted with bench/bench_pairs.py's cases on
// the AVX2 tile kernels (one to four cells per ring and per home, timed
// against each other): one candidate lane against one row (fixed and per
// coordinate), and, per home, listing and packing one candidate of its
// neighbourhood, looking up one run of cells and the home's own setting up. A listed
// candidate costs far more than a measured lane: it is fetched from the grid
// and its id is carried to every row that admits it.
constexpr double kLanePerCoordinateNs = 0.03;
constexpr double kLaneNs = 0.1;
constexpr double kPackNs = 15.0;
constexpr double kRunNs = 20.0;
constexpr double kHomeNs = 400.0;
constexpr double kLanes = 16.0;

std::size_t product(const std::vector<std::size_t>& v) {
  std::size_t p = 1;
  for (std::size_t x : v) p *= x;
  return p;
}

// Volume of the ball of the metric with this radius in d dimensions.
double ball_volume(double radius, Metric metric, std::size_t d) {
  const auto n = static_cast<double>(d);
  if (metric == Metric::kL2) return std::pow(M_PI, n / 2.0) / std::tgamma(n / 2.0 + 1.0) * std::pow(radius, n);
  return std::pow(2.0 * radius, n) / std::tgamma(n + 1.0);
}

}  // namespace

double axis_reach(double radius, Metric metric, double period) {
  const float bound = summed_bound(radius, metric);
  if (!(bound >= 0.0f)) return -1.0;
  const double per_axis = metric == Metric::kL2 ? std::sqrt(static_cast<double>(bound)) : bound;
  return per_axis / period * (1.0 + kRelativeMargin) + kAbsoluteMargin;
}

std::vector<std::size_t> cell_rings(const std::vector<std::size_t>& cells, double radius, Metric metric,
                                    const std::vector<double>& period) {
  std::vector<std::size_t> rings(cells.size());
  for (std::size_t j = 0; j < cells.size(); ++j) {
    const double reach = axis_reach(radius, metric, period[j]);
    const std::size_t whole = cells[j] / 2;  // 2 * whole + 1 >= cells
    const double need = std::ceil(std::max(reach, 0.0) * static_cast<double>(cells[j]));
    rings[j] = need >= static_cast<double>(whole) ? whole : static_cast<std::size_t>(need);
  }
  return rings;
}

std::vector<std::size_t> cells_for(double radius, Metric metric, const std::vector<double>& period,
                                   std::size_t per_ring, std::size_t max_cells) {
  const std::size_t d = period.size();
  std::vector<std::size_t> cells(d, 1);
  max_cells = std::clamp<std::size_t>(max_cells, 1, kMostCells);
  double total = 1.0;
  for (std::size_t j = 0; j < d; ++j) {
    const double reach = axis_reach(radius, metric, period[j]);
    if (!(reach > 0.0) || !std::isfinite(reach)) continue;
    const double want = std::floor(static_cast<double>(per_ring) / (reach * kSideSlack));
    cells[j] = static_cast<std::size_t>(std::clamp(want, 1.0, static_cast<double>(kMostCells)));
    total *= static_cast<double>(cells[j]);
  }
  // Too many cells: shrink every axis by the same factor, keeping at least one.
  while (total > static_cast<double>(max_cells)) {
    const double factor = std::pow(static_cast<double>(max_cells) / total, 1.0 / static_cast<double>(d));
    total = 1.0;
    for (std::size_t& c : cells) {
      c = std::max<std::size_t>(1, static_cast<std::size_t>(std::floor(static_cast<double>(c) * factor)));
      total *= static_cast<double>(c);
    }
    if (factor >= 1.0) break;
  }
  return cells;
}

CellPlan plan_cells(std::size_t n, std::size_t rows, double radius, Metric metric,
                    const std::vector<double>& period) {
  CellPlan best;
  const std::size_t d = period.size();
  if (!(summed_bound(radius, metric) >= 0.0f)) {
    best.admits_nothing = true;
    best.cells.assign(d, 1);
    best.rings.assign(d, 0);
    return best;
  }
  double box = 1.0;
  for (double p : period) box *= p;
  const double within = std::min(static_cast<double>(n), static_cast<double>(n) * ball_volume(radius, metric, d) / box);
  double best_cost = std::numeric_limits<double>::infinity();
  const double lane_ns = kLaneNs + kLanePerCoordinateNs * static_cast<double>(d);
  for (std::size_t per_ring = 1; per_ring <= 4; ++per_ring) {
    CellPlan plan;
    plan.cells = cells_for(radius, metric, period, per_ring, 2 * std::max(n, rows));
    plan.rings = cell_rings(plan.cells, radius, metric, period);
    double share = 1.0;
    double runs = 1.0;
    for (std::size_t j = 0; j < d; ++j) {
      const auto span = static_cast<double>(std::min(plan.cells[j], 2 * plan.rings[j] + 1));
      share *= span / static_cast<double>(plan.cells[j]);
      if (j > 0) runs *= span;
    }
    plan.candidates = share * static_cast<double>(n);
    plan.within = std::min(within, plan.candidates);
    const auto total = static_cast<double>(product(plan.cells));
    for (std::size_t group = 1; group <= std::min<std::size_t>(4, plan.cells[0]); ++group) {
      // A home's neighbourhood is wider along axis 0 by the cells it adds.
      const auto c0 = static_cast<double>(plan.cells[0]);
      const double widening = std::min(c0, static_cast<double>(group + 2 * plan.rings[0])) /
                              std::min(c0, static_cast<double>(2 * plan.rings[0] + 1));
      const double listed = plan.candidates * widening;
      const double home_count = total / static_cast<double>(group);
      const double homes = home_count * -std::expm1(-static_cast<double>(rows) / home_count);
      const double lanes = std::ceil(listed / kLanes) * kLanes;
      const double cost = static_cast<double>(rows) * lanes * lane_ns +
                          homes * (listed * kPackNs + runs * kRunNs + kHomeNs);
      if (cost < best_cost) {
        best_cost = cost;
        best = plan;
        best.group = group;
        best.listed = listed;
      }
    }
  }
  return best;
}

}  // namespace vb::query
