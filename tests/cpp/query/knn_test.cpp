#include "query/knn.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "base/errors.h"
#include "pool/pool.h"
#include "query/radius.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Rows;

Rows run_knn(const index::Index& ix, const Buffer<double>& queries, std::size_t m, std::size_t k,
             const std::int64_t* exclude) {
  std::vector<std::int64_t> ids(m * k);
  std::vector<double> dists(m * k);
  Counters counters;
  query_knn(ix, counters, {{queries.data(), m, ix.d, k, exclude}, ids.data(), dists.data()});
  return testing::rows_of(std::move(ids), dists);
}

TEST(Knn, SerialAndParallelResultsAreIdentical) {
  const testing::Built ix(3, 5, 4, 4, 3000, 1000, 41);
  const std::size_t m = 700;
  const Buffer<double> queries = index::testing::random_points(m, 4, 42);
  std::vector<std::int64_t> exclude(m);
  for (std::size_t i = 0; i < m; ++i) exclude[i] = static_cast<std::int64_t>(i * 3);
  const Rows parallel = run_knn(ix, queries, m, 6, exclude.data());
  const RadiusResult parallel_radius = query_radius(ix, queries.data(), m, 4, 0.3, exclude.data());
  pool::ScopedSerial one_thread;
  const Rows serial = run_knn(ix, queries, m, 6, exclude.data());
  EXPECT_EQ(parallel.ids, serial.ids);
  EXPECT_EQ(parallel.dist_bits, serial.dist_bits);
  const RadiusResult serial_radius = query_radius(ix, queries.data(), m, 4, 0.3, exclude.data());
  EXPECT_EQ(parallel_radius.indptr, serial_radius.indptr);
  EXPECT_EQ(parallel_radius.ids, serial_radius.ids);
  EXPECT_EQ(parallel_radius.dists, serial_radius.dists);
  EXPECT_GT(parallel_radius.ids.size(), 0u);
}

TEST(Knn, AnInternalErrorInAWorkerReachesTheCaller) {
  testing::Built ix(2, 2, 2, 2, 500, 500, 3);
  for (auto& id : ix.static_ids) id = 1 << 20;  // a corrupted run
  const Buffer<double> queries = index::testing::random_points(200, 2, 4);
  EXPECT_THROW(run_knn(ix, queries, 200, 3, nullptr), InternalError);
  EXPECT_THROW(query_radius(ix, queries.data(), 200, 2, 1.0, nullptr), InternalError);
}

TEST(Knn, LargeBatchesBelongToTheBlockedPathUnlessBlockIsOne) {
  index::Index ix = index::testing::random_index(3, 2, 1, 2, 1);
  EXPECT_FALSE(blocked_path_applies(ix, 63));
  EXPECT_TRUE(blocked_path_applies(ix, 64));
  ix.block = 1;
  EXPECT_FALSE(blocked_path_applies(ix, 100000));
}

}  // namespace
}  // namespace vb::query
