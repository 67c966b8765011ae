#include "query/blocked.h"

#include <gtest/gtest.h>

#include <bit>
#include <tuple>
#include <vector>

#include "base/errors.h"
#include "pool/pool.h"
#include "query/block_distance.h"
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
    knn_batched(ix, counters, request);
  } else {
    knn_per_query(ix, counters, request);
  }
  return testing::rows_of(std::move(ids), dists);
}

// (d, block, with exclude_ids)
class BlockedAgainstPerQuery : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, bool>> {};

// The blocked path gives the per-query path's rows bit for bit (its kernels
// keep the summation order), at every kernel level and on one thread as on
// the pool. Queries are a mix of indexed points (self-join rows) and fresh
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
  const std::int64_t* ex = with_exclude ? exclude.data() : nullptr;
  const Rows want = run(ix, queries, m, k, ex, false);
  for (BlockLevel level : {BlockLevel::kPortable, BlockLevel::kAvx2, BlockLevel::kAvx512}) {
    cap_block_level(level);
    const Rows got = run(ix, queries, m, k, ex, true);
    EXPECT_EQ(got.ids, want.ids) << block_level_name(block_level());
    EXPECT_EQ(got.dist_bits, want.dist_bits) << block_level_name(block_level());
  }
  cap_block_level(BlockLevel::kAvx512);
  pool::ScopedSerial one_thread;
  const Rows serial = run(ix, queries, m, k, ex, true);
  EXPECT_EQ(serial.ids, want.ids);
  EXPECT_EQ(serial.dist_bits, want.dist_bits);
}

INSTANTIATE_TEST_SUITE_P(Blocked, BlockedAgainstPerQuery,
                         ::testing::Combine(::testing::Values(1, 3, 8, 16, 24, 31), ::testing::Values(0, 7, 1024),
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

// The blocked path moves refine_ns, relax_ns, pairs, queries and relaxed,
// never gather_ns or cands. With k above what a row's small cells hold, rows
// are relaxed and still come back full.
TEST(Blocked, ProfileMovesAsTheBlockedPathRecordsIt) {
  testing::Built ix(4, 6, 2, 3, 2000, 2000, 17);
  const std::size_t m = 200, k = 40;  // k well above what the small cells hold
  const Buffer<double> queries = index::testing::random_points(m, 3, 18);
  std::vector<std::int64_t> ids(m * k);
  std::vector<double> dists(m * k);
  Counters counters;
  query_knn(ix, counters, {{queries.data(), m, 3, k, nullptr}, ids.data(), dists.data()});
  EXPECT_EQ(counters.gather_ns.load(), 0u);
  EXPECT_EQ(counters.cands.load(), 0u);
  EXPECT_EQ(counters.queries.load(), m);
  EXPECT_GT(counters.pairs.load(), 0u);
  EXPECT_GT(counters.refine_ns.load(), 0u);
  EXPECT_GT(counters.relaxed.load(), 0u);
  EXPECT_LE(counters.relaxed.load(), m);
  EXPECT_GT(counters.relax_ns.load(), 0u);
  for (std::size_t i = 0; i < m * k; ++i) ASSERT_GE(ids[i], 0) << "every row is filled after relaxation";
}

TEST(Blocked, CorruptedIdsStopTheCall) {
  testing::Built ix(2, 2, 2, 2, 500, 500, 3);
  for (auto& id : ix.static_ids) id = 1 << 20;
  const Buffer<double> queries = index::testing::random_points(100, 2, 4);
  std::vector<std::int64_t> ids(300);
  std::vector<double> dists(300);
  Counters counters;
  EXPECT_THROW(knn_batched(ix, counters, {{queries.data(), 100, 2, 3, nullptr}, ids.data(), dists.data()}),
               InternalError);
}

}  // namespace
}  // namespace vb::query
