#include "query/knn.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "base/errors.h"
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

// A run naming a point past the index stops the call on the per-query path,
// the blocked path and both radius paths, from a worker of the pool.
TEST(Knn, CorruptedIdsAreInternalErrorsOnEveryPath) {
  testing::Built ix(2, 2, 2, 2, 500, 500, 3);
  for (auto& id : ix.static_ids) id = 1 << 20;
  const Buffer<double> queries = index::testing::random_points(200, 2, 4);
  for (std::size_t m : {10u, 200u}) EXPECT_THROW(run_knn(ix, queries, m, 3, nullptr), InternalError) << m;
  for (auto path : {radius_gathered, radius_tiled}) {
    EXPECT_THROW(path(ix, queries.data(), 200, 2, 1.0, nullptr), InternalError);
  }
}

}  // namespace
}  // namespace vb::query
