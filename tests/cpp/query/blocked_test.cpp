#include "query/blocked.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <vector>

#include "base/code_filter.h"
#include "kernels/tile_distance.h"
#include "pool/pool.h"
#include "query/knn.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Rows;

Rows run(const index::Index& ix, const Buffer<double>& queries, std::size_t m, std::size_t k,
         const std::int64_t* exclude, bool blocked) {
  std::vector<std::int64_t> ids(m * k, -2);
  std::vector<double> dists(m * k, -2.0);
  const KnnRequest request{{queries.data(), m, ix.d, k, exclude}, ids.data(), dists.data()};
  Counters counters;
  if (blocked) {
    knn_blocked(ix, counters, request);
  } else {
    knn_per_query(ix, counters, request);
  }
  return testing::rows_of(std::move(ids), dists);
}

// The blocked rows against the per-query rows bit for bit at every kernel
// level (its kernels keep the summation order), on the pool and on one thread.
void expect_blocked_rows_equal_per_query_rows(index::Index& ix, const Buffer<double>& queries, std::size_t m,
                                              std::size_t k, const std::int64_t* exclude) {
  const Rows want = run(ix, queries, m, k, exclude, false);
  for (kernels::CpuLevel level : {kernels::CpuLevel::kPortable, kernels::CpuLevel::kAvx2, kernels::CpuLevel::kAvx512}) {
    kernels::cap_cpu_level(level);
    index::choose_kernels(ix);
    for (bool serial : {false, true}) {
      std::optional<pool::ScopedSerial> one_thread;
      if (serial) one_thread.emplace();
      const Rows got = run(ix, queries, m, k, exclude, true);
      EXPECT_EQ(got.ids, want.ids) << kernels::cpu_level_name(ix.kernels.level) << (serial ? " serial" : " pool");
      EXPECT_EQ(got.dist_bits, want.dist_bits) << kernels::cpu_level_name(ix.kernels.level)
                                               << (serial ? " serial" : " pool");
    }
  }
  kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
  index::choose_kernels(ix);
}

// (d, block, with exclude_ids)
class BlockedAgainstPerQuery : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, bool>> {};

// Queries are a mix of indexed points (self-join rows) and fresh
// ones; with l = 2 tables and 3 digits of base 5 many rows come up short and
// are relaxed.
TEST_P(BlockedAgainstPerQuery, SameRows) {
  const auto [d, block, with_exclude] = GetParam();
  testing::Built ix(5, 3, 2, d, 1500, 1000, d * 31 + block);
  ix.block = block;
  const std::size_t m = 150, k = 7;
  Buffer<double> queries = index::testing::random_points(m, d, d + 5);
  std::vector<std::int64_t> exclude(m);
  for (std::size_t i = 0; i < m; ++i) {
    exclude[i] = static_cast<std::int64_t>(i * 7);
    if (i % 2 == 0) std::copy_n(ix.points.data() + exclude[i] * d, d, queries.data() + i * d);
  }
  expect_blocked_rows_equal_per_query_rows(ix, queries, m, k, with_exclude ? exclude.data() : nullptr);
}

INSTANTIATE_TEST_SUITE_P(Blocked, BlockedAgainstPerQuery,
                         ::testing::Combine(::testing::Values(1, 2, 3, 5, 8, 15, 16, 17, 24, 33),
                                            ::testing::Values(0, 7, 1024), ::testing::Bool()));

// (points, static points, d)
class ExhaustiveAtTileEdges
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

// With one cell (b = 1) every row of a block meets the one bucket, whose size
// is the point count: below, at and above the panel width and the tile size,
// split over the tiers with an empty static or candidate part at the ends.
// 70 rows make blocks of several row groups and a remainder.
TEST_P(ExhaustiveAtTileEdges, SameRowsAsThePerQueryPath) {
  const auto [n, split, d] = GetParam();
  const std::size_t n_static = split == 0 ? 0 : split == 1 ? n / 2 : n;
  testing::Built ix(1, 1, 1, d, n, n_static, n * 7 + d, 0);
  const std::size_t m = 70, k = 6;
  Buffer<double> queries = index::testing::random_points(m, d, n + d);
  std::vector<std::int64_t> exclude(m);
  for (std::size_t i = 0; i < m; ++i) exclude[i] = i % 3 == 0 ? -1 : static_cast<std::int64_t>(i % n);
  expect_blocked_rows_equal_per_query_rows(ix, queries, m, k, exclude.data());
}

INSTANTIATE_TEST_SUITE_P(Blocked, ExhaustiveAtTileEdges,
                         ::testing::Combine(::testing::Values(1, 2, 15, 16, 17, kTileRows - 1, kTileRows,
                                                              kTileRows + 1, 2 * kTileRows + 17, kCodeTileRows - 1,
                                                              kCodeTileRows + 1),
                                            ::testing::Values(0, 1, 2), ::testing::Values(3, 16, 17)));

// (d, L2, exhaustive)
class CodesFirst : public ::testing::TestWithParam<std::tuple<std::size_t, bool, bool>> {};

// The code filter changes no bit of any row nor the pairs counted, at every
// level. Exhaustive: one cell, so every block's rows share its bucket.
// Hashed: three cells of about 130 points and 150 neighbours a row, so
// buckets are shared by dozens of rows and rows come up short and are
// relaxed. Half the rows are self-join rows with their point excluded.
TEST_P(CodesFirst, SameRowsAndPairsWithTheFilterOnAndOff) {
  const auto [d, l2, exhaustive] = GetParam();
  testing::Built ix(exhaustive ? 1 : 3, 1, 1, d, exhaustive ? 900 : 400, 250, d * 17 + l2, 0);
  ix.metric = l2 ? Metric::kL2 : Metric::kL1;
  const std::size_t m = 120, k = exhaustive ? 9 : 150;
  Buffer<double> queries = index::testing::random_points(m, d, d + 9);
  std::vector<std::int64_t> exclude(m, -1);
  for (std::size_t i = 0; i < m; i += 2) {
    exclude[i] = static_cast<std::int64_t>((i * 5) % ix.n_points);
    std::copy_n(ix.points.data() + exclude[i] * d, d, queries.data() + i * d);
  }
  auto pairs_and_rows = [&] {
    std::vector<std::int64_t> ids(m * k);
    std::vector<double> dists(m * k);
    Counters counters;
    knn_blocked(ix, counters, KnnRequest{{queries.data(), m, d, k, exclude.data()}, ids.data(), dists.data()});
    return std::tuple(counters.pairs.load(), counters.relaxed.load(), testing::rows_of(std::move(ids), dists));
  };
  set_code_filter(false);
  index::choose_kernels(ix);  // the table takes the metric and the switch when it is chosen
  ASSERT_EQ(ix.kernels.code_bound, nullptr);
  const auto [want_pairs, relaxed, want] = pairs_and_rows();
  set_code_filter(true);
  EXPECT_EQ(relaxed > 0, !exhaustive);
  for (kernels::CpuLevel level : {kernels::CpuLevel::kPortable, kernels::CpuLevel::kAvx2, kernels::CpuLevel::kAvx512}) {
    kernels::cap_cpu_level(level);
    index::choose_kernels(ix);
    ASSERT_NE(ix.kernels.code_bound, nullptr);
    const auto [pairs, ignored, got] = pairs_and_rows();
    EXPECT_EQ(got.ids, want.ids) << kernels::cpu_level_name(ix.kernels.level);
    EXPECT_EQ(got.dist_bits, want.dist_bits) << kernels::cpu_level_name(ix.kernels.level);
    EXPECT_EQ(pairs, want_pairs) << kernels::cpu_level_name(ix.kernels.level);
  }
  kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
  index::choose_kernels(ix);
}

INSTANTIATE_TEST_SUITE_P(Blocked, CodesFirst,
                         ::testing::Combine(::testing::Values(1, 2, 3, 5, 8, 15, 16, 17, 24, 33), ::testing::Bool(),
                                            ::testing::Bool()));

TEST(Blocked, RowsPerBlockSpreadTheBatchOverTheThreads) {
  EXPECT_EQ(rows_per_block(100, 1024, 8), 13u);  // blocks of 13 × 7 and 9
  EXPECT_EQ(rows_per_block(100, 0, 8), 13u);
  EXPECT_EQ(rows_per_block(100, 5, 8), 5u);
  EXPECT_EQ(rows_per_block(20000, 1024, 2), 1024u);
  EXPECT_EQ(rows_per_block(64, 1024, 0), 64u);  // no threads counts as one
  EXPECT_EQ(rows_per_block(1, 0, 3), 1u);
}

// A block's pair count is the bucket sizes times the rows that looked them
// up: two copies of one query row double it, and each copy gets the same row.
TEST(Blocked, RowsSharingAKeyShareTheLookupAndBothCount) {
  const testing::Built ix(3, 4, 3, 4, 800, 500, 9);
  const Buffer<double> one = index::testing::random_points(1, 4, 10);
  Buffer<double> two(8);
  std::copy_n(one.data(), 4, two.data());
  std::copy_n(one.data(), 4, two.data() + 4);
  BWs ws;
  const std::uint64_t single = query_block(ix, ws, KnnRows{one.data(), 1, 4, 5, nullptr});
  EXPECT_GT(single, 0u);
  const std::uint64_t twice = query_block(ix, ws, KnnRows{two.data(), 2, 4, 5, nullptr});
  EXPECT_EQ(twice, 2 * single);
  ASSERT_EQ(ws.counts[0], ws.counts[1]);
  std::vector<Entry> a(ws.heaps.begin(), ws.heaps.begin() + ws.counts[0]);
  std::vector<Entry> b(ws.heaps.begin() + ws.cap, ws.heaps.begin() + ws.cap + ws.counts[1]);
  std::sort(a.begin(), a.end(), nearer);
  std::sort(b.begin(), b.end(), nearer);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].id, b[i].id);
    EXPECT_EQ(a[i].dist_bits, b[i].dist_bits);
  }
}

}  // namespace
}  // namespace vb::query
