#include "query/cell_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "../kernels/kernels_test_inputs.h"
#include "base/errors.h"
#include "kernels/row_distance.h"
#include "pool/pool.h"

namespace vb::query {
namespace {

// A box: the metric and the axis periods (empty: the unit torus).
struct Box {
  Metric metric;
  std::vector<double> period;
  std::size_t d() const { return period.empty() ? 0 : period.size(); }
};

using Triple = std::tuple<std::int64_t, std::int64_t, std::uint64_t>;  // i, j, distance bits

// Every pair by brute force with the engine's per-query distance.
std::vector<Triple> brute_pairs(const std::vector<double>& rows, std::size_t d, const Box& box, double radius) {
  std::vector<float> x(rows.begin(), rows.end());
  std::vector<float> scale(box.period.begin(), box.period.end());
  const bool scaled = std::any_of(box.period.begin(), box.period.end(), [](double p) { return p != 1.0; });
  const kernels::DistanceKernel& kernel = kernels::scalar_distance_kernel(box.metric, scaled);
  const float bound = summed_bound(radius, box.metric);
  std::vector<Triple> out;
  const std::size_t n = rows.size() / d;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const float s = kernel.row(&x[i * d], &x[j * d], d, scaled ? scale.data() : nullptr);
      if (s <= bound) {
        const double r = reported_distance(s, box.metric);
        out.emplace_back(i, j, std::bit_cast<std::uint64_t>(r));
      }
    }
  }
  return out;
}

std::vector<Triple> cell_pairs(const std::vector<double>& rows, std::size_t d, const Box& box, double radius) {
  const CellIndex index(rows.data(), rows.size() / d, d, box.metric, box.period);
  const PairList list = index.pairs(radius);
  std::vector<Triple> out;
  for (std::size_t k = 0; k < list.size(); ++k) {
    out.emplace_back(list.pairs[2 * k], list.pairs[2 * k + 1], std::bit_cast<std::uint64_t>(list.dists[k]));
  }
  return out;
}

std::vector<double> random_rows(std::size_t n, std::size_t d, std::uint64_t seed, double width = 1.0) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, width);
  std::vector<double> rows(n * d);
  for (double& v : rows) v = unit(rng);
  return rows;
}

// A lattice of `side` points per axis, at multiples of 1 / side: points on
// cell borders, one per cell when the cells match the lattice, and pairs at
// exactly the cutoff when the radius is a lattice step.
std::vector<double> lattice(std::size_t side, std::size_t d) {
  std::size_t n = 1;
  for (std::size_t j = 0; j < d; ++j) n *= side;
  std::vector<double> rows(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t rest = i;
    for (std::size_t j = 0; j < d; ++j, rest /= side) rows[i * d + j] = static_cast<double>(rest % side) / side;
  }
  return rows;
}

const Box kBoxes[] = {
    {Metric::kL1, {1.0, 1.0, 1.0}},
    {Metric::kL2, {1.0, 1.0, 1.0}},
    {Metric::kL1, {3.0, 1.5, 7.0}},
    {Metric::kL2, {3.0, 1.5, 7.0}},
};

// Pair lists equal the brute force's, distances bit for bit, at radii from a
// few neighbours up to just below half the shortest side (where every axis
// is searched whole), and the ordering is lexicographic with i < j.
TEST(CellPairs, EqualBruteForceInEveryBoxUpToHalfTheShortestSide) {
  const std::vector<double> rows = random_rows(700, 3, 11);
  for (const Box& box : kBoxes) {
    const double shortest = *std::min_element(box.period.begin(), box.period.end());
    for (double share : {0.02, 0.08, 0.2, 0.4999}) {
      const double radius = share * shortest * (box.metric == Metric::kL1 ? 2.0 : 1.0);
      const auto want = brute_pairs(rows, 3, box, radius);
      EXPECT_EQ(cell_pairs(rows, 3, box, radius), want) << "share " << share;
      EXPECT_TRUE(std::is_sorted(want.begin(), want.end()));
    }
  }
}

// Lattices put points on cell borders and pairs at exactly the cutoff; the
// rows of a lattice of 8 per axis also give one point per cell when the
// search cuts 8 cells an axis.
TEST(CellPairs, LatticePointsOnBordersAndAtExactlyTheCutoff) {
  for (std::size_t d : {1u, 2u, 3u}) {
    const std::vector<double> rows = lattice(8, d);
    for (Metric metric : {Metric::kL1, Metric::kL2}) {
      const Box box{metric, std::vector<double>(d, 1.0)};
      for (double radius : {0.125, 0.25, 0.375, 0.5}) {
        const auto want = brute_pairs(rows, d, box, radius);
        EXPECT_FALSE(want.empty());
        EXPECT_EQ(cell_pairs(rows, d, box, radius), want) << "d " << d << " radius " << radius;
      }
    }
  }
}

// Clustered points: most cells empty, and every point in one cell.
TEST(CellPairs, EmptyCellsAndEveryPointInOneCell) {
  const Box box{Metric::kL2, {2.0, 2.0}};
  std::vector<double> one_cell = random_rows(300, 2, 5, 0.01);
  for (double& v : one_cell) v += 0.5;
  EXPECT_EQ(cell_pairs(one_cell, 2, box, 0.3), brute_pairs(one_cell, 2, box, 0.3));
  std::vector<double> two_clusters = random_rows(400, 2, 6, 0.05);
  for (std::size_t i = 0; i < 200; ++i) two_clusters[2 * i] = std::fmod(two_clusters[2 * i] + 0.97, 1.0);  // across the wrap
  EXPECT_EQ(cell_pairs(two_clusters, 2, box, 0.02), brute_pairs(two_clusters, 2, box, 0.02));
}

// Higher dimensions and the edges of the radius: none, zero (duplicates
// only) and infinite (every pair).
TEST(CellPairs, HigherDimensionsAndRadiusEdges) {
  const Box box5{Metric::kL1, {1.0, 2.0, 1.0, 1.0, 0.5}};
  const std::vector<double> rows = random_rows(300, 5, 3);
  EXPECT_EQ(cell_pairs(rows, 5, box5, 0.5), brute_pairs(rows, 5, box5, 0.5));
  std::vector<double> dup = random_rows(50, 3, 4);
  dup.insert(dup.end(), dup.begin(), dup.begin() + 30);
  const Box box{Metric::kL2, {1.0, 1.0, 1.0}};
  EXPECT_EQ(cell_pairs(dup, 3, box, 0.0).size(), 10u);
  EXPECT_EQ(cell_pairs(dup, 3, box, 0.0), brute_pairs(dup, 3, box, 0.0));
  EXPECT_TRUE(cell_pairs(dup, 3, box, -1.0).empty());
  EXPECT_TRUE(cell_pairs(dup, 3, box, std::nan("")).empty());
  EXPECT_EQ(cell_pairs(dup, 3, box, INFINITY).size(), 60u * 59u / 2u);
}

// Radius rows equal the brute force's, ordered by (distance, id), with the
// excluded ids left out; queries outside the grid's own points included.
TEST(CellRows, EqualBruteForceWithExclusion) {
  for (const Box& box : kBoxes) {
    const std::vector<double> rows = random_rows(500, 3, 21);
    const std::vector<double> queries = random_rows(120, 3, 22);
    const CellIndex index(rows.data(), 500, 3, box.metric, box.period);
    std::vector<std::int64_t> exclude(120);
    for (std::size_t q = 0; q < 120; ++q) exclude[q] = static_cast<std::int64_t>(q * 3);
    for (double radius : {0.15, 0.6}) {
      const RadiusResult got = index.radius_rows(queries.data(), 120, 3, radius, exclude.data());
      std::vector<float> x(rows.begin(), rows.end());
      std::vector<float> scale(box.period.begin(), box.period.end());
      const bool scaled = box.period[0] != 1.0;
      const kernels::DistanceKernel& kernel = kernels::scalar_distance_kernel(box.metric, scaled);
      const float bound = summed_bound(radius, box.metric);
      for (std::size_t q = 0; q < 120; ++q) {
        const float qf[3] = {float(queries[3 * q]), float(queries[3 * q + 1]), float(queries[3 * q + 2])};
        std::vector<std::pair<std::uint32_t, std::int64_t>> want;
        for (std::size_t i = 0; i < 500; ++i) {
          const float s = kernel.row(qf, &x[3 * i], 3, scaled ? scale.data() : nullptr);
          if (s <= bound && static_cast<std::int64_t>(i) != exclude[q]) want.emplace_back(std::bit_cast<std::uint32_t>(s), i);
        }
        std::sort(want.begin(), want.end());
        ASSERT_EQ(got.indptr[q + 1] - got.indptr[q], static_cast<std::int64_t>(want.size())) << q;
        for (std::size_t t = 0; t < want.size(); ++t) {
          const auto at = static_cast<std::size_t>(got.indptr[q]) + t;
          EXPECT_EQ(got.ids[at], want[t].second);
          EXPECT_EQ(got.dists[at], reported_distance(std::bit_cast<float>(want[t].first), box.metric));
        }
      }
    }
  }
}

// Every CPU level's tile kernels give the brute force's lists (the portable
// twin included, whatever the machine runs).
TEST(CellPairs, EveryCpuLevelEqualsBruteForce) {
  const std::vector<double> rows = random_rows(800, 3, 12);
  for (kernels::CpuLevel level : kernels::levels_of_this_cpu()) {
    kernels::cap_cpu_level(level);
    for (const Box& box : kBoxes) EXPECT_EQ(cell_pairs(rows, 3, box, 0.3), brute_pairs(rows, 3, box, 0.3));
  }
  kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
}

// The pool and its serial twin give the same lists; the columns of the
// queries must be the points'.
TEST(CellPairs, OneThreadEqualsThePoolAndBadInputIsRefused) {
  // Large enough for the sweep to use the pool.
  const std::vector<double> rows = random_rows(6000, 3, 9);
  const Box box{Metric::kL2, {1.0, 1.0, 1.0}};
  const auto pooled = cell_pairs(rows, 3, box, 0.15);
  pool::ScopedSerial serial;
  EXPECT_EQ(cell_pairs(rows, 3, box, 0.15), pooled);
  const CellIndex index(rows.data(), 1000, 3, Metric::kL1, {});
  EXPECT_THROW(index.radius_rows(rows.data(), 10, 2, 0.1, nullptr), ArgumentError);
  std::vector<double> bad = {0.1, NAN, 0.3};
  EXPECT_THROW(CellIndex(bad.data(), 1, 3, Metric::kL1, {}), ArgumentError);
  EXPECT_THROW(CellIndex(rows.data(), 10, 3, Metric::kL1, {1.0, 0.0, 1.0}), ArgumentError);
}

// Rings cover the reach on every axis and never count a cell twice; the plan
// cuts a dense box finer than a sparse one.
TEST(CellPlan, RingsCoverTheReachAndTheWholeAxisOnce) {
  const std::vector<double> period = {1.0, 4.0};
  const auto rings = cell_rings({10, 10}, 0.1, Metric::kL1, period);
  EXPECT_EQ(rings[0], 2u);  // 0.1 * 10 = 1 cell, widened by the margin to 2 rings
  EXPECT_EQ(rings[1], 1u);
  EXPECT_EQ(cell_rings({5, 4}, 0.45, Metric::kL1, {1.0, 1.0}), (std::vector<std::size_t>{2, 2}));
  const CellPlan sparse = plan_cells(1000, 1000, 0.05, Metric::kL2, {1.0, 1.0, 1.0});
  const CellPlan dense = plan_cells(1000000, 1000000, 0.05, Metric::kL2, {1.0, 1.0, 1.0});
  EXPECT_GE(dense.cells[0], sparse.cells[0]);
  EXPECT_TRUE(plan_cells(10, 10, -0.5, Metric::kL1, {1.0}).admits_nothing);
}

}  // namespace
}  // namespace vb::query
