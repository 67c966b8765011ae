#include "query/blocked.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/code_filter.h"
#include "kernels/tile_distance.h"
#include "pool/pool.h"
#include "query/bucket_walk.h"
#include "query/knn.h"
#include "query/query_codes.h"
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

// ((static points, candidate points), d)
using Tiers = std::pair<std::size_t, std::size_t>;
class ExhaustiveAtTileEdges : public ::testing::TestWithParam<std::tuple<Tiers, std::size_t>> {};

// The first id of the last tile of a tier of n points starting at id base:
// float tiles and code tiles, whichever the walk lays.
std::size_t last_tile_start(std::size_t n, std::size_t tile) { return n == 0 ? 0 : (n - 1) / tile * tile; }

// With one cell (b = 1) every row of a block meets the one bucket, whose
// tiers hold the given sizes: below, at and above the panel width, the float
// tile and the code tile, with remainders of one point and of many, and
// empty tiers. Two rows in three copy a point of the last (partial) tile of a
// tier, a code tile's or a float tile's, and keep it: it must come first, at
// distance 0, so a remainder tile measured from any other stretch of codes
// or rows drops it. 70 rows make blocks of several row groups and a
// remainder.
TEST_P(ExhaustiveAtTileEdges, SameRowsAsThePerQueryPath) {
  const auto [tiers, d] = GetParam();
  const auto [n_static, n_cand] = tiers;
  const std::size_t n = n_static + n_cand;
  testing::Built ix(1, 1, 1, d, n, n_static, n * 7 + d, 0);
  const std::size_t m = 70, k = 6;
  Buffer<double> queries = index::testing::random_points(m, d, n + d);
  std::vector<std::int64_t> exclude(m), copied(m, -1);
  for (std::size_t i = 0; i < m; ++i) {
    const bool in_static = n_cand == 0 || (n_static > 0 && i % 2 == 0);
    const std::size_t base = in_static ? 0 : n_static, size = in_static ? n_static : n_cand;
    const std::size_t first = last_tile_start(size, i % 4 < 2 ? kCodeTileRows : kTileRows);
    const std::size_t p = base + first + (i * 7) % (size - first);
    exclude[i] = i % 3 == 0 ? static_cast<std::int64_t>(p) : -1;
    if (i % 3 != 0) {
      std::copy_n(ix.points.data() + p * d, d, queries.data() + i * d);
      copied[i] = static_cast<std::int64_t>(p);
    }
  }
  expect_blocked_rows_equal_per_query_rows(ix, queries, m, k, exclude.data());
  const Rows got = run(ix, queries, m, k, exclude.data(), true);
  for (std::size_t i = 0; i < m; ++i) {
    if (copied[i] < 0) continue;
    EXPECT_EQ(got.ids[i * k], copied[i]) << "row " << i;
    EXPECT_EQ(got.dist_bits[i * k], 0u) << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Blocked, ExhaustiveAtTileEdges,
    ::testing::Combine(::testing::Values(Tiers{1, 0}, Tiers{0, 2}, Tiers{15, 17}, Tiers{kTileRows + 1, kTileRows - 1},
                                         Tiers{2 * kTileRows + 17, 0}, Tiers{kCodeTileRows - 1, kCodeTileRows + 1},
                                         Tiers{kCodeTileRows, kCodeTileRows}, Tiers{kCodeTileRows + 1, 0},
                                         Tiers{0, kCodeTileRows + 1}, Tiers{2 * kCodeTileRows + 33, 40},
                                         Tiers{40, 2 * kCodeTileRows + 200}),
                       ::testing::Values(3, 16, 17)));

// (d, L2, exhaustive)
class CodesFirst : public ::testing::TestWithParam<std::tuple<std::size_t, bool, bool, testing::Box>> {};

// The code filter changes no bit of any row nor the pairs counted, at every
// level, on every box; the per-query path gives the same rows. Boxes whose
// sides lie too far apart keep the float path. Exhaustive: one cell, so
// every block's rows share its bucket.
// Hashed: three cells of about 130 points and 150 neighbours a row, so
// buckets are shared by dozens of rows and rows come up short and are
// relaxed. Half the rows are self-join rows with their point excluded.
TEST_P(CodesFirst, SameRowsAndPairsWithTheFilterOnAndOff) {
  const auto [d, l2, exhaustive, box] = GetParam();
  testing::Built ix(exhaustive ? 1 : 3, 1, 1, d, exhaustive ? 900 : 400, 250, d * 17 + l2, 0);
  testing::set_form(ix, l2 ? Metric::kL2 : Metric::kL1, box);
  const bool bounded = testing::box_bounded(box, d);
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
    const std::string label = std::string(kernels::cpu_level_name(ix.kernels.level)) + " " + testing::box_name(box);
    ASSERT_EQ(ix.kernels.code_bound != nullptr, bounded) << label;
    const auto [pairs, ignored, got] = pairs_and_rows();
    EXPECT_EQ(got.ids, want.ids) << label;
    EXPECT_EQ(got.dist_bits, want.dist_bits) << label;
    EXPECT_EQ(pairs, want_pairs) << label;
    const Rows per_query = run(ix, queries, m, k, exclude.data(), false);
    EXPECT_EQ(per_query.ids, want.ids) << label;
    EXPECT_EQ(per_query.dist_bits, want.dist_bits) << label;
  }
  kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
  index::choose_kernels(ix);
}

INSTANTIATE_TEST_SUITE_P(Blocked, CodesFirst,
                         ::testing::Combine(::testing::Values(1, 2, 3, 5, 8, 15, 16, 17, 24, 33), ::testing::Bool(),
                                            ::testing::Bool(),
                                            ::testing::Values(testing::Box::kUnit, testing::Box::kCube,
                                                              testing::Box::kNear, testing::Box::kWide,
                                                              testing::Box::kFar)));

// A row's code tiles are cut by the cap-th smallest upper bound of their
// candidates while the row holds fewer than cap points. One cell: its first
// tile holds nine points at the origin, one 10 codes off, one 15 codes off
// and a far crowd; the second tile points 20 codes off, which refill a row
// that lost a point. The upper bounds jump past what the bounds' slack
// hides, so a limit one rank too tight drops the point 10 codes off from the
// row at the origin, and counting the excluded point drops the one 15 codes
// off from the self-join row of a point at the origin.
TEST(Blocked, AnOpenRowIsCutByItsCapthUpperBound) {
  constexpr std::size_t d = 2, n = kCodeTileRows + 88, k = 10;
  testing::Built ix(1, 1, 1, d, n, n, 3, 0);
  Buffer<double> points(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    const bool crowd = i > 10 && i < kCodeTileRows;
    const double codes_off = i < 9 ? 0.0 : i == 9 ? 10.0 : i == 10 ? 15.0 : 20.0;
    points[i * d] = crowd ? 0.2 + 0.0005 * static_cast<double>(i) : codes_off / 256.0;
    points[i * d + 1] = crowd ? 0.5 : 0.0;
  }
  index::build(ix, std::move(points), n, d, n);
  Buffer<double> queries(2 * d);
  std::fill_n(queries.data(), 2 * d, 0.0);
  const std::int64_t exclude[2] = {-1, 0};
  auto rows = [&] {
    std::vector<std::int64_t> ids(2 * k);
    std::vector<double> dists(2 * k);
    Counters counters;
    knn_blocked(ix, counters, KnnRequest{{queries.data(), 2, d, k, exclude}, ids.data(), dists.data()});
    return testing::rows_of(std::move(ids), dists);
  };
  set_code_filter(false);
  index::choose_kernels(ix);
  const Rows want = rows();
  EXPECT_EQ(want.ids[k - 1], 9);
  EXPECT_EQ(want.ids[2 * k - 1], 10);
  EXPECT_EQ(ix.kernels.code_upper, nullptr);
  set_code_filter(true);
  for (kernels::CpuLevel level : {kernels::CpuLevel::kPortable, kernels::CpuLevel::kAvx2, kernels::CpuLevel::kAvx512}) {
    kernels::cap_cpu_level(level);
    index::choose_kernels(ix);
    ASSERT_NE(ix.kernels.code_upper, nullptr);
    const Rows got = rows();
    EXPECT_EQ(got.ids, want.ids) << kernels::cpu_level_name(ix.kernels.level);
    EXPECT_EQ(got.dist_bits, want.dist_bits) << kernels::cpu_level_name(ix.kernels.level);
  }
  kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
  index::choose_kernels(ix);
}

// A block's rows are the batch's own rows, or the rows a locality order
// names, copied in that order with their excluded ids; a batch without
// exclusions gives none, and every block row maps back to its batch row.
TEST(Blocked, BlockRowsFollowTheOrder) {
  const std::vector<double> batch = {0, 1, 10, 11, 20, 21, 30, 31, 40, 41};
  const std::vector<std::int64_t> exclude = {5, 6, 7, 8, 9};
  const std::vector<std::size_t> order = {3, 0, 4, 2, 1};
  BlockRows block;
  block.select(batch.data(), exclude.data(), 2, {}, 2, 3);
  EXPECT_EQ(block.rows, batch.data() + 4);
  EXPECT_EQ(block.exclude, exclude.data() + 2);
  EXPECT_EQ(BlockRows::batch_row({}, 2, 1), 3u);
  block.select(batch.data(), exclude.data(), 2, order, 2, 3);
  EXPECT_EQ(std::vector<double>(block.rows, block.rows + 6), (std::vector<double>{40, 41, 20, 21, 10, 11}));
  EXPECT_EQ(std::vector<std::int64_t>(block.exclude, block.exclude + 3), (std::vector<std::int64_t>{9, 7, 6}));
  EXPECT_EQ(BlockRows::batch_row(order, 2, 1), 2u);
  block.select(batch.data(), nullptr, 2, order, 0, 2);
  EXPECT_EQ(block.exclude, nullptr);
  EXPECT_EQ(std::vector<double>(block.rows, block.rows + 4), (std::vector<double>{30, 31, 0, 1}));
}

// The locality order lists every row once, by its base key in table 0 with
// ties in row order, the key the row gets from the per-row hashing: over
// several hashing stretches with a short last one, with rows that repeat
// (ties), with coordinates on the digit formula's edges, with keys of one
// radix pass and of two, and below the radix sort's smallest size.
TEST(Blocked, LocalityOrderSortsRowsByTheirFirstTableKey) {
  struct Case {
    std::int64_t b;
    std::size_t k, rows;
  };
  for (const Case c : {Case{3, 5, 700}, Case{5, 9, 300}, Case{2, 3, 40}}) {
    constexpr std::size_t d = 6;
    const testing::Built ix(c.b, c.k, 2, d, 400, 300, 40 + c.k);
    Buffer<double> queries = index::testing::random_points(c.rows, d, 3 + c.rows);
    const double edges[] = {0.0, 1.0, std::nextafter(1.0, 0.0), 0.5, -0.25, 2.5};
    for (std::size_t i = 0; i < c.rows * d; i += 5) queries.data()[i] = edges[(i / 5) % std::size(edges)];
    for (std::size_t r = 1; r < c.rows; r += 9) std::copy_n(queries.data() + (r - 1) * d, d, queries.data() + r * d);
    std::vector<std::int64_t> codes(ix.k);
    std::vector<double> frac(ix.k);
    std::vector<std::pair<std::int64_t, std::size_t>> want;
    for (std::size_t r = 0; r < c.rows; ++r) want.emplace_back(query_codes(ix, queries.data() + r * d, d, 0, codes.data(), frac.data()), r);
    std::sort(want.begin(), want.end());
    const std::vector<std::size_t> got = locality_order(ix, queries.data(), c.rows, d);
    ASSERT_EQ(got.size(), c.rows);
    for (std::size_t i = 0; i < c.rows; ++i) EXPECT_EQ(got[i], want[i].second) << "b " << c.b << " k " << c.k << " at " << i;
  }
}

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

// A block's keys of a table: every row's base key and probe keys, each pair
// listed once per time the row computes it, in (key, row) order. Tables of
// 3^7 buckets sort in one radix pass, 4^8 and 5^9 in two of unequal digits,
// and a few rows (under 64 keys) by comparison; a second block of another
// size reuses the workspace. Some coordinates lie on the edges of the
// digit formula, which the block hashes a digit at a time for all rows.
// Blocks over one stretch (300 rows) hold a short last stretch; probes run
// from one to past the few that are chosen for a stretch at once.
TEST(Blocked, RowKeysAreEveryRowsKeysInKeyThenRowOrder) {
  struct Case {
    std::int64_t b;
    std::size_t k, rows;
  };
  for (const Case c : {Case{3, 7, 300}, Case{4, 8, 250}, Case{5, 9, 200}, Case{3, 7, 9}, Case{2, 3, 120}}) {
    constexpr std::size_t d = 12;
    testing::Built ix(c.b, c.k, 3, d, 500, 400, 21 + c.k, 3);
    BWs ws;
    for (const std::size_t rows : {c.rows, c.rows / 2 + 1}) {
      for (const std::size_t n_probes : {1, 3, 5}) {
        ix.probes = n_probes;
        Buffer<double> queries = index::testing::random_points(rows, d, 5 + rows);
        // Coordinates on the hashing's edges: whole turns, just below one, halves, off the unit circle.
        const double edges[] = {0.0, 1.0, std::nextafter(1.0, 0.0), 0.5, -0.25, 3.75, 1e-300};
        for (std::size_t i = 0; i < rows * d; i += 7) queries.data()[i] = edges[(i / 7) % std::size(edges)];
        prepare_walk(ix, ws, queries.data(), rows, d, nullptr);
        std::vector<std::int64_t> codes(ix.k), probes(ix.k);
        std::vector<double> frac(ix.k), margin(ix.k);
        for (std::size_t t = 0; t < ix.l; ++t) {
          std::vector<std::pair<std::int64_t, std::uint32_t>> want;
          for (std::uint32_t r = 0; r < rows; ++r) {
            const std::int64_t base = query_codes(ix, queries.data() + r * d, d, t, codes.data(), frac.data());
            want.emplace_back(base, r);
            probe_keys(ix, base, codes.data(), frac.data(), margin.data(), probes.data());
            for (std::size_t p = 0; p < probe_count(ix); ++p) want.emplace_back(probes[p], r);
          }
          std::sort(want.begin(), want.end());
          list_row_keys(ix, ws, rows, d, t);
          std::vector<std::pair<std::int64_t, std::uint32_t>> got;
          for (const RowKey& e : ws.row_keys) got.emplace_back(e.key, e.row);
          EXPECT_EQ(got, want) << "b " << c.b << " k " << c.k << " rows " << rows << " probes " << n_probes
                               << " table " << t;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vb::query
