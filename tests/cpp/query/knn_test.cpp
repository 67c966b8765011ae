#include "query/knn.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "index/errors.h"
#include "pool/pool.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Index;

struct Rows {
  std::vector<std::int64_t> ids;
  std::vector<double> dists;
};

Rows run_knn(const Index& ix, const Buffer<double>& queries, std::size_t m, std::size_t k,
             const std::vector<std::int64_t>* exclude) {
  Rows out{std::vector<std::int64_t>(m * k, 123), std::vector<double>(m * k, 123.0)};
  query_knn(ix, queries.data(), m, ix.d, k, exclude != nullptr ? exclude->data() : nullptr, out.ids.data(),
            out.dists.data());
  return out;
}

void expect_brute_force(const Index& ix, const Buffer<double>& queries, std::size_t m, std::size_t k,
                        const std::vector<std::int64_t>* exclude, const Rows& got) {
  for (std::size_t i = 0; i < m; ++i) {
    const auto want = testing::brute_force_knn(ix, queries.data() + i * ix.d, k, exclude ? (*exclude)[i] : -1);
    for (std::size_t j = 0; j < k; ++j) {
      if (j < want.size()) {
        ASSERT_EQ(got.ids[i * k + j], want[j].id) << "row " << i << " position " << j;
        ASSERT_EQ(got.dists[i * k + j], static_cast<double>(from_bits(want[j].dist_bits)));
      } else {
        ASSERT_EQ(got.ids[i * k + j], -1);
        ASSERT_EQ(got.dists[i * k + j], std::numeric_limits<double>::infinity());
      }
    }
  }
}

struct KnnCase {
  std::int64_t b;
  std::size_t k_digits, l, n, n_static, k;
  bool self_join;
};

class KnnExact : public ::testing::TestWithParam<KnnCase> {};

// Cases where the search sees every point (a single bucket, or relaxation to
// the whole index): the rows are the exact answer.
TEST_P(KnnExact, RowsAreTheBruteForceAnswer) {
  const KnnCase c = GetParam();
  const testing::Built ix(c.b, c.k_digits, c.l, 4, c.n, c.n_static, 31);
  const std::size_t m = c.self_join ? c.n : 25;
  const Buffer<double> queries = c.self_join ? ix.points : testing::random_points(m, 4, 32);
  std::vector<std::int64_t> exclude(m);
  for (std::size_t i = 0; i < m; ++i) exclude[i] = static_cast<std::int64_t>(i);
  const Rows got = run_knn(ix, queries, m, c.k, c.self_join ? &exclude : nullptr);
  expect_brute_force(ix, queries, m, c.k, c.self_join ? &exclude : nullptr, got);
}

INSTANTIATE_TEST_SUITE_P(Knn, KnnExact,
                         ::testing::Values(KnnCase{1, 3, 2, 60, 20, 7, false},   // one bucket
                                           KnnCase{1, 3, 2, 60, 20, 7, true},
                                           KnnCase{1, 2, 1, 5, 2, 9, true},      // k beyond the points
                                           KnnCase{4, 3, 1, 30, 10, 12, false},  // l × n < 4 × k: exhaustive
                                           KnnCase{4, 3, 2, 30, 30, 16, true}));

TEST(Knn, SerialAndParallelRowsAreIdentical) {
  const testing::Built ix(3, 5, 4, 4, 3000, 1000, 41);
  const std::size_t m = 700, k = 6;
  const Buffer<double> queries = testing::random_points(m, 4, 42);
  std::vector<std::int64_t> exclude(m);
  for (std::size_t i = 0; i < m; ++i) exclude[i] = static_cast<std::int64_t>(i * 3);
  const Rows parallel = run_knn(ix, queries, m, k, &exclude);
  Rows serial;
  {
    pool::ScopedSerial one_thread;
    serial = run_knn(ix, queries, m, k, &exclude);
  }
  EXPECT_EQ(parallel.ids, serial.ids);
  for (std::size_t i = 0; i < parallel.dists.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(parallel.dists[i]), std::bit_cast<std::uint64_t>(serial.dists[i]));
  }
}

TEST(Knn, CountersFollowEveryQuery) {
  const testing::Built ix(3, 5, 2, 3, 400, 100, 51, 1);
  const std::size_t m = 300, k = 8;
  const Buffer<double> queries = testing::random_points(m, 3, 52);
  const Rows rows = run_knn(ix, queries, m, k, nullptr);
  EXPECT_EQ(ix.queries.load(), m);
  EXPECT_EQ(ix.cands.load(), ix.pairs.load());
  EXPECT_GT(ix.cands.load(), 0u);
  // Sparse cells: some rows come up short and are relaxed, each counted once.
  EXPECT_GT(ix.relaxed.load(), 0u);
  EXPECT_LT(ix.relaxed.load(), m);
  EXPECT_GT(ix.gather_ns.load() + ix.refine_ns.load(), 0u);
  EXPECT_GT(ix.relax_ns.load(), 0u);
  for (std::size_t i = 0; i < m * k; ++i) ASSERT_NE(rows.ids[i], -1);  // 400 points: never padded
}

TEST(Knn, AnIndexWithoutPointsAnswersPaddingWhateverTheColumns) {
  Index ix = testing::random_index(3, 4, 2, 5, 1);  // never built: d = 0, s reads up to column 4
  Buffer<double> queries(3 * 2, 0.5);
  Rows rows{std::vector<std::int64_t>(6, 0), std::vector<double>(6, 0.0)};
  query_knn(ix, queries.data(), 3, 2, 2, nullptr, rows.ids.data(), rows.dists.data());
  EXPECT_EQ(rows.ids, std::vector<std::int64_t>(6, -1));
  EXPECT_EQ(rows.dists, std::vector<double>(6, std::numeric_limits<double>::infinity()));
  EXPECT_EQ(ix.queries.load(), 3u);
  EXPECT_EQ(ix.cands.load() + ix.relaxed.load(), 0u);
}

TEST(Knn, AnInternalErrorInAWorkerReachesTheCaller) {
  testing::Built ix(2, 2, 2, 2, 500, 500, 3);
  for (auto& id : ix.static_ids) id = 1 << 20;  // a corrupted run
  const Buffer<double> queries = testing::random_points(200, 2, 4);
  std::vector<std::int64_t> ids(200 * 3);
  std::vector<double> dists(200 * 3);
  EXPECT_THROW(query_knn(ix, queries.data(), 200, 2, 3, nullptr, ids.data(), dists.data()), InternalError);
}

struct KEffCase {
  std::size_t k, n;
  std::int64_t excluded;
  std::size_t want;
};

class KEff : public ::testing::TestWithParam<KEffCase> {};

TEST_P(KEff, LowersTheBoundOnlyForAnExcludedPoint) {
  const KEffCase c = GetParam();
  EXPECT_EQ(row_k_eff(c.k, c.n, c.excluded), c.want);
}

INSTANTIATE_TEST_SUITE_P(Knn, KEff,
                         ::testing::Values(KEffCase{5, 0, -1, 0}, KEffCase{5, 0, 0, 0}, KEffCase{5, 1, 0, 0},
                                           KEffCase{5, 1, -1, 1},  // -1 names no point
                                           KEffCase{5, 1, 1, 1},   // nor does an id past the end
                                           KEffCase{5, 3, 2, 2}, KEffCase{5, 100, 7, 5}, KEffCase{2, 3, -5, 2}));

TEST(Knn, LargeBatchesBelongToTheBlockedPathUnlessBlockIsOne) {
  Index blocked = testing::random_index(3, 2, 1, 2, 1);
  blocked.block = 1024;
  EXPECT_FALSE(blocked_path_applies(blocked, 63));
  EXPECT_TRUE(blocked_path_applies(blocked, 64));
  blocked.block = 0;
  EXPECT_TRUE(blocked_path_applies(blocked, 64));
  blocked.block = 1;
  EXPECT_FALSE(blocked_path_applies(blocked, 100000));
}

}  // namespace
}  // namespace vb::query
