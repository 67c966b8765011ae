#include "query/radius.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/code_filter.h"
#include "kernels/row_distance.h"
#include "pool/pool.h"
#include "query/blocked.h"
#include "query/topk.h"
#include "test_query.h"

namespace vb::query {
namespace {

// A radius result with distances as bit patterns, so comparisons are exact.
struct Csr {
  std::vector<std::int64_t> indptr;
  testing::Rows rows;
};

Csr csr_of(const RadiusResult& r) {
  return {{r.indptr.begin(), r.indptr.end()},
          testing::rows_of({r.ids.begin(), r.ids.end()}, {r.dists.begin(), r.dists.end()})};
}

using Path = RadiusResult (*)(const index::Index&, const double*, std::size_t, std::size_t, double,
                              const std::int64_t*);

Csr run(Path path, const index::Index& ix, const Buffer<double>& queries, std::size_t m, double radius,
        const std::vector<std::int64_t>& exclude) {
  return csr_of(path(ix, queries.data(), m, ix.d, radius, exclude.empty() ? nullptr : exclude.data()));
}

void expect_same(const Csr& got, const Csr& want, const std::string& label) {
  EXPECT_EQ(got.indptr, want.indptr) << label;
  EXPECT_EQ(got.rows.ids, want.rows.ids) << label;
  EXPECT_EQ(got.rows.dist_bits, want.rows.dist_bits) << label;
}

// Every point of an exhaustive index within the radius, from the plain C++
// row distance: what both paths must return when one cell holds every point.
Csr brute_force(const index::Index& ix, const Buffer<double>& queries, std::size_t m, double radius,
                const std::vector<std::int64_t>& exclude) {
  const kernels::DistanceKernel& kernel = kernels::scalar_distance_kernel(ix.metric, !ix.scale.empty());
  const float threshold = radius_threshold(radius, ix.metric);
  RadiusResult out;
  out.indptr.push_back(0);
  std::vector<float> q(ix.d);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t c = 0; c < ix.d; ++c) q[c] = static_cast<float>(queries[i * ix.d + c]);
    std::vector<Entry> row;
    for (std::size_t p = 0; p < ix.n_points; ++p) {
      const float dist = kernel.row(q.data(), ix.points_f32.data() + p * ix.d, ix.d, ix.scale_or_null());
      const auto id = static_cast<std::int64_t>(p);
      if (dist <= threshold && (exclude.empty() || exclude[i] != id)) row.push_back({to_bits(dist), id});
    }
    std::sort(row.begin(), row.end(), nearer);
    for (const Entry& e : row) {
      out.ids.push_back(e.id);
      out.dists.push_back(static_cast<double>(reported_distance(from_bits(e.dist_bits), ix.metric)));
    }
    out.indptr.push_back(static_cast<std::int64_t>(out.ids.size()));
  }
  return csr_of(out);
}

// The tile rows against the gathered rows bit for bit at every kernel level,
// on the pool and on one thread.
void expect_tiles_match(index::Index& ix, const Buffer<double>& queries, std::size_t m, double radius,
                        const std::vector<std::int64_t>& exclude, const std::optional<Csr>& oracle = {}) {
  const Csr want = run(radius_gathered, ix, queries, m, radius, exclude);
  if (oracle) expect_same(want, *oracle, "gathered vs brute force");
  for (kernels::CpuLevel level : {kernels::CpuLevel::kPortable, kernels::CpuLevel::kAvx2, kernels::CpuLevel::kAvx512}) {
    kernels::cap_cpu_level(level);
    index::choose_kernels(ix);
    for (bool serial : {false, true}) {
      std::optional<pool::ScopedSerial> one_thread;
      if (serial) one_thread.emplace();
      expect_same(run(radius_tiled, ix, queries, m, radius, exclude), want,
                  std::string(kernels::cpu_level_name(ix.kernels.level)) + (serial ? " serial" : " pool"));
    }
  }
  kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
  index::choose_kernels(ix);
}

// Queries: every other row a copy of an indexed point (a self-join row, at
// distance 0 from it), the rest fresh; exclusions on two rows in three.
struct Batch {
  Buffer<double> queries;
  std::vector<std::int64_t> exclude;
  Batch(const index::Index& ix, std::size_t m, std::uint64_t seed)
      : queries(index::testing::random_points(m, ix.d, seed)), exclude(m) {
    for (std::size_t i = 0; i < m; ++i) {
      const std::size_t p = (i * 7) % ix.n_points;
      if (i % 2 == 0) std::copy_n(ix.points.data() + p * ix.d, ix.d, queries.data() + i * ix.d);
      exclude[i] = i % 3 == 0 ? -1 : static_cast<std::int64_t>(p);
    }
  }
};

// A radius holding about a tenth of the points of an exhaustive row: the
// reported distance of a real pair, so that one point lies exactly at it.
double tenth_radius(const index::Index& ix, const Buffer<double>& queries) {
  const RadiusResult all = radius_gathered(ix, queries.data(), 1, ix.d, std::numeric_limits<double>::infinity(),
                                           nullptr);
  return all.dists[all.dists.size() / 10];
}

// (d, L2, box, exhaustive)
class TilesAgainstGathered : public ::testing::TestWithParam<std::tuple<std::size_t, bool, testing::Box, bool>> {};

// Exhaustive: one cell, probes listing it again (each row meets it once per
// key). Hashed: 3 × 3 cells, three tables and two probes, so rows meet most
// points several times and rows of a block share buckets. The tiles bound
// candidates by their codes on every box but the wide one.
TEST_P(TilesAgainstGathered, SameRowsBitForBit) {
  const auto [d, l2, box, exhaustive] = GetParam();
  testing::Built ix(exhaustive ? 1 : 3, exhaustive ? 1 : 2, exhaustive ? 1 : 3, d, 700, 450, d * 13 + l2, 2);
  testing::set_form(ix, l2 ? Metric::kL2 : Metric::kL1, box);
  EXPECT_EQ(ix.kernels.code_bound != nullptr, testing::box_bounded(box, d)) << testing::box_name(box);
  const std::size_t m = 150;
  const Batch batch(ix, m, d + 3);
  const double radius = tenth_radius(ix, batch.queries);
  const std::optional<Csr> oracle =
      exhaustive ? std::optional<Csr>(brute_force(ix, batch.queries, m, radius, batch.exclude)) : std::nullopt;
  expect_tiles_match(ix, batch.queries, m, radius, batch.exclude, oracle);
  expect_tiles_match(ix, batch.queries, m, radius, {});
}

INSTANTIATE_TEST_SUITE_P(Radius, TilesAgainstGathered,
                         ::testing::Combine(::testing::Values(1, 2, 3, 5, 8, 15, 16, 17, 24, 33), ::testing::Bool(),
                                            ::testing::Values(testing::Box::kUnit, testing::Box::kCube,
                                                              testing::Box::kNear, testing::Box::kWide,
                                                              testing::Box::kFar),
                                            ::testing::Bool()));

// (points, static split, d)
class TilesAtPanelEdges : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

// One bucket of each size around the panel width and the tile, split over the
// tiers with an empty static or candidate part at the ends: every survivor of
// a partly filled panel is kept, and none of its padding lanes.
TEST_P(TilesAtPanelEdges, SameRowsAsBruteForce) {
  const auto [n, split, d] = GetParam();
  const std::size_t n_static = split == 0 ? 0 : split == 1 ? n / 2 : n;
  testing::Built ix(1, 1, 1, d, n, n_static, n * 5 + d, 0);
  const std::size_t m = 70;
  const Batch batch(ix, m, n + d);
  for (double radius : {tenth_radius(ix, batch.queries), std::numeric_limits<double>::infinity()}) {
    expect_tiles_match(ix, batch.queries, m, radius, batch.exclude, brute_force(ix, batch.queries, m, radius,
                                                                                 batch.exclude));
  }
}

INSTANTIATE_TEST_SUITE_P(Radius, TilesAtPanelEdges,
                         ::testing::Combine(::testing::Values(1, 15, 16, 17, 127, 128, 129, kCodeTileRows + 1),
                                            ::testing::Values(0, 1, 2),
                                            ::testing::Values(3, 16)));

// Radii of every kind on both index kinds: 0 keeps only points at distance 0
// (the self-join rows' own point), negative and NaN keep nothing, infinity
// keeps every candidate.
TEST(Radius, OddRadiiGiveTheGatheredRows) {
  for (bool exhaustive : {true, false}) {
    testing::Built ix(exhaustive ? 1 : 2, 3, 2, 4, 300, 200, 21);
    const Batch batch(ix, 80, 99);
    for (double radius : {0.0, -0.0, -0.5, std::nan(""), std::numeric_limits<double>::infinity(), 1e-45}) {
      const Csr got = run(radius_tiled, ix, batch.queries, 80, radius, {});
      expect_same(got, run(radius_gathered, ix, batch.queries, 80, radius, {}), std::to_string(radius));
      if (!(radius >= 0.0)) {
        EXPECT_EQ(got.indptr.back(), 0) << radius;
      }
      if (radius == 0.0) {
        EXPECT_EQ(got.indptr.back(), 40);  // the 40 self-join rows, each its own point
      }
    }
  }
}

// Coordinates off the torus (negative, beyond 1, NaN, infinite) can make a
// term, and so a distance, negative: such distances are compared as floats,
// as the gathered path compares them, even under a negative radius.
TEST(Radius, CoordinatesOffTheTorusGiveTheGatheredRows) {
  testing::Built ix(1, 1, 1, 3, 200, 120, 31, 0);
  const float far[] = {-0.5f, 5.0f, std::nanf(""), std::numeric_limits<float>::infinity(), -0.0f};
  for (std::size_t p = 0; p < 200; p += 9) ix.points_f32[p * 3 + p % 3] = far[p % 5];
  ix.off_torus_static = index::encode_points(ix.points_f32.data(), 120 * 3, ix.codes.data());
  ix.off_torus_cand = index::encode_points(ix.points_f32.data() + 120 * 3, 80 * 3, ix.codes.data() + 120 * 3);
  Batch batch(ix, 90, 32);
  for (std::size_t i = 0; i < 90; i += 11) batch.queries[i * 3 + 1] = static_cast<double>(far[i % 5]);
  for (double radius : {tenth_radius(ix, batch.queries), -1.0, std::numeric_limits<double>::infinity()}) {
    expect_tiles_match(ix, batch.queries, 90, radius, batch.exclude);
  }
}

// The gathered path measures only the candidates whose code bound is within
// the radius when the filter is on (on the unit torus and in a cube; boxes of
// unequal sides measure every one); its rows are those of measuring them
// all, on hashed and exhaustive indexes in both metrics. A point at exactly
// the radius with a tight bound (the query at the top of its code, the
// point at the bottom of its own) sits on the bar and is kept.
TEST(Radius, GatheredRowsAreTheSameWithTheFilterOnAndOff) {
  for (auto [exhaustive, box] : {std::pair(true, testing::Box::kUnit), std::pair(false, testing::Box::kUnit),
                                 std::pair(false, testing::Box::kCube), std::pair(true, testing::Box::kWide)}) {
    for (Metric metric : {Metric::kL1, Metric::kL2}) {
      testing::Built ix(exhaustive ? 1 : 3, exhaustive ? 1 : 2, exhaustive ? 1 : 3, 6, 500, 300, 71 + exhaustive);
      set_code_filter(false);
      testing::set_form(ix, metric, box);
      const Batch batch(ix, 40, 72);
      const double radius = tenth_radius(ix, batch.queries);
      const Csr want = run(radius_gathered, ix, batch.queries, 40, radius, batch.exclude);
      set_code_filter(true);
      index::choose_kernels(ix);
      ASSERT_EQ(ix.kernels.code_rows.run != nullptr, box != testing::Box::kWide);
      expect_same(run(radius_gathered, ix, batch.queries, 40, radius, batch.exclude), want,
                  std::string(exhaustive ? "exhaustive " : "hashed ") + testing::box_name(box));
    }
  }
  index::Index ix = index::testing::random_index(1, 1, 1, 1, 73);
  index::build(ix, Buffer<double>{97.0 / 256 - 0x3p-20, 0.7, 103.0 / 256}, 3, 1, 3);
  const Buffer<double> query = {100.0 / 256 - 0x1p-20};
  const Csr got = run(radius_gathered, ix, query, 1, 3.0 / 256 + 0x1p-20, {});
  EXPECT_EQ(got.rows.ids, std::vector<std::int64_t>{2});
}

TEST(Radius, NoRowsOrNoPointsGiveEmptyRows) {
  testing::Built ix(1, 1, 1, 3, 50, 50, 41);
  const Buffer<double> queries = index::testing::random_points(70, 3, 42);
  for (Path path : {radius_tiled, radius_gathered}) {
    EXPECT_EQ(run(path, ix, queries, 0, 0.5, {}).indptr, std::vector<std::int64_t>{0});
  }
  testing::Built empty(1, 1, 1, 3, 0, 0, 43);
  for (Path path : {radius_tiled, radius_gathered, query_radius}) {
    const Csr got = run(path, empty, queries, 70, 0.5, {});
    EXPECT_EQ(got.indptr, std::vector<std::int64_t>(71, 0));
  }
}

// Copies of one query row land in one block with the same keys: each copy
// gets the whole row, and rows that meet nothing stay empty between them.
TEST(Radius, RowsOfABlockWithTheSameKeyEachGetTheirRow) {
  testing::Built ix(2, 2, 3, 3, 400, 300, 51);
  Buffer<double> queries(100 * 3);
  const Buffer<double> one = index::testing::random_points(1, 3, 52);
  for (std::size_t i = 0; i < 100; ++i) std::copy_n(one.data(), 3, queries.data() + i * 3);
  const Csr got = run(radius_tiled, ix, queries, 100, 0.4, {});
  expect_same(got, run(radius_gathered, ix, queries, 100, 0.4, {}), "copies");
  ASSERT_GT(got.indptr[1], 0);
  EXPECT_EQ(got.indptr[100], 100 * got.indptr[1]);
}

TEST(Radius, TilesWhereABlockHasAtLeastAsManyRowsAsATableHasCells) {
  testing::Built exhaustive(1, 1, 1, 3, 10, 10, 61);
  EXPECT_TRUE(radius_tiled_applies(exhaustive, kRadiusTileMinRows));
  EXPECT_FALSE(radius_tiled_applies(exhaustive, kRadiusTileMinRows - 1));
  exhaustive.block = 1;
  EXPECT_FALSE(radius_tiled_applies(exhaustive, 5000));
  testing::Built coarse(2, 3, 1, 3, 10, 10, 62);  // 8 cells
  coarse.block = 8;
  EXPECT_TRUE(radius_tiled_applies(coarse, 100));
  coarse.block = 7;
  EXPECT_FALSE(radius_tiled_applies(coarse, 100));
  const index::Index fine = index::testing::random_index(std::int64_t{1} << 40, 3, 1, 3, 63);  // 2^120 cells
  EXPECT_FALSE(radius_tiled_applies(fine, 1u << 20));
}

}  // namespace
}  // namespace vb::query
