#include "query/radius.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "pool/pool.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Index;

class RadiusExact : public ::testing::TestWithParam<double> {};

// With one bucket per digit every query gathers every point, so each row is
// exactly the points within the threshold, ascending by (distance, id).
TEST_P(RadiusExact, RowsAreTheBruteForceFilter) {
  const double radius = GetParam();
  testing::Built ix(1, 2, 2, 3, 80, 30, 61);
  // Duplicates: a distance-0 pair and a tie at equal distance.
  for (std::size_t c = 0; c < 3; ++c) ix.points_f32[5 * 3 + c] = ix.points_f32[9 * 3 + c];
  const std::size_t m = 80;
  std::vector<std::int64_t> exclude(m);
  for (std::size_t i = 0; i < m; ++i) exclude[i] = static_cast<std::int64_t>(i);
  const RadiusResult got = query_radius(ix, ix.points.data(), m, 3, radius, exclude.data());
  ASSERT_EQ(got.indptr.size(), m + 1);
  EXPECT_EQ(got.indptr[0], 0);
  const float threshold = static_cast<float>(radius);
  for (std::size_t i = 0; i < m; ++i) {
    std::vector<Entry> want;
    for (const Entry& e : testing::brute_force_knn(ix, ix.points.data() + i * 3, m, exclude[i])) {
      if (from_bits(e.dist_bits) <= threshold) want.push_back(e);
    }
    ASSERT_EQ(static_cast<std::size_t>(got.indptr[i + 1] - got.indptr[i]), want.size()) << "row " << i;
    for (std::size_t j = 0; j < want.size(); ++j) {
      const auto at = static_cast<std::size_t>(got.indptr[i]) + j;
      ASSERT_EQ(got.ids[at], want[j].id);
      ASSERT_EQ(got.dists[at], static_cast<double>(from_bits(want[j].dist_bits)));
    }
  }
  if (std::isnan(radius) || radius < 0) {
    EXPECT_EQ(got.ids.size(), 0u);
  }
  if (std::isinf(radius)) {
    EXPECT_EQ(got.ids.size(), m * (m - 1));
  }
}

INSTANTIATE_TEST_SUITE_P(Radius, RadiusExact,
                         ::testing::Values(0.0, 0.2, 0.45, -1.0, std::numeric_limits<double>::quiet_NaN(),
                                           std::numeric_limits<double>::infinity(), 1e300));

TEST(Radius, SerialAndParallelAgree) {
  const testing::Built ix(3, 4, 3, 3, 2000, 700, 71);
  const Buffer<double> queries = testing::random_points(500, 3, 72);
  const RadiusResult parallel = query_radius(ix, queries.data(), 500, 3, 0.3, nullptr);
  pool::ScopedSerial one_thread;
  const RadiusResult serial = query_radius(ix, queries.data(), 500, 3, 0.3, nullptr);
  EXPECT_EQ(parallel.indptr, serial.indptr);
  EXPECT_EQ(parallel.ids, serial.ids);
  EXPECT_EQ(parallel.dists, serial.dists);
  EXPECT_GT(parallel.ids.size(), 0u);
  EXPECT_EQ(ix.queries.load() + ix.cands.load() + ix.pairs.load(), 0u);  // the profile is for kNN only
}

TEST(Radius, EmptyRequestsAndEmptyIndexes) {
  const testing::Built built(3, 2, 2, 2, 10, 5, 1);
  const RadiusResult none = query_radius(built, nullptr, 0, 2, 1.0, nullptr);
  EXPECT_EQ(none.indptr, Buffer<std::int64_t>{0});
  EXPECT_TRUE(none.ids.empty() && none.dists.empty());

  const Index empty = testing::random_index(3, 2, 2, 6, 1);  // never built
  const Buffer<double> queries(4 * 2, 0.5);
  const RadiusResult rows = query_radius(empty, queries.data(), 4, 2, 1.0, nullptr);
  EXPECT_EQ(rows.indptr, Buffer<std::int64_t>(5, 0));
  EXPECT_TRUE(rows.ids.empty());
}

TEST(Radius, ThresholdIsTheRadiusRoundedToSinglePrecision) {
  EXPECT_EQ(radius_threshold(0.1), 0.1f);
  EXPECT_EQ(radius_threshold(1e300), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(radius_threshold(std::nan(""))));
}

}  // namespace
}  // namespace vb::query
