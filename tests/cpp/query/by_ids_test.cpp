#include "query/by_ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "base/errors.h"
#include "maintenance/refresh.h"
#include "query/knn.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Rows;

// The searched rows are taken from the caller's copy of the coordinates, never
// from the index, so that a row read from the wrong place shows.
Rows knn_of_rows(const index::Index& ix, const std::vector<double>& rows, const std::vector<std::int64_t>& ids,
                 std::size_t k) {
  const std::size_t m = ids.size();
  std::vector<std::int64_t> out_ids(m * k);
  std::vector<double> out_dists(m * k);
  Counters counters;
  query_knn(ix, counters, {{rows.data(), m, ix.d, k, ids.data()}, out_ids.data(), out_dists.data()});
  return testing::rows_of(std::move(out_ids), out_dists);
}

Rows knn_of_ids(const index::Index& ix, const std::vector<std::int64_t>& ids, std::size_t k) {
  const std::size_t m = ids.size();
  std::vector<std::int64_t> out_ids(m * k, 7);
  std::vector<double> out_dists(m * k);
  Counters counters;
  query_knn_ids(ix, counters, ids.data(), m, k, out_ids.data(), out_dists.data());
  return testing::rows_of(std::move(out_ids), out_dists);
}

// Ids from both tiers with repeats: every third a candidate, some twice over.
std::vector<std::int64_t> some_ids(std::size_t m, std::size_t n, std::size_t n_static) {
  std::vector<std::int64_t> ids;
  for (std::size_t i = 0; i < m; ++i) {
    const std::size_t id = i % 3 == 0 ? n_static + (i * 7) % (n - n_static) : (i * 13) % n_static;
    ids.push_back(static_cast<std::int64_t>(i % 10 == 9 ? ids.back() : id));
  }
  return ids;
}

std::vector<double> rows_from(const Buffer<double>& points, std::size_t d, const std::vector<std::int64_t>& ids) {
  std::vector<double> rows;
  for (std::int64_t id : ids) rows.insert(rows.end(), points.begin() + id * d, points.begin() + (id + 1) * d);
  return rows;
}

class ById : public ::testing::TestWithParam<std::tuple<std::size_t, int>> {};

// Bit for bit the search of the same rows with each row's own id excluded, on
// the per-query path (m < 64) and the blocked one, for L1, L2 and axis
// periods, before and after the candidate tier moved.
TEST_P(ById, SameRowsAsTheQueryOfTheirCoordinates) {
  const auto [d, form] = GetParam();
  const std::size_t n = 1200, n_static = 900, k = 6;
  testing::Built ix(3, 2, 3, d, n, n_static, d * 5 + static_cast<std::size_t>(form));
  if (form == 1) ix.metric = Metric::kL2;
  if (form == 2) ix.scale.assign(d, 0.5f);  // the index stores unit rows; the kernels scale them
  index::choose_kernels(ix);
  Buffer<double> points = index::testing::random_points(n, d, d * 5 + static_cast<std::size_t>(form) + 1);
  for (int epoch = 0; epoch < 2; ++epoch) {
    for (std::size_t m : {40u, 150u}) {
      const std::vector<std::int64_t> ids = some_ids(m, n, n_static);
      const Rows want = knn_of_rows(ix, rows_from(points, d, ids), ids, k);
      const Rows got = knn_of_ids(ix, ids, k);
      EXPECT_EQ(got.ids, want.ids) << "m " << m << " epoch " << epoch;
      EXPECT_EQ(got.dist_bits, want.dist_bits) << "m " << m << " epoch " << epoch;
      for (std::size_t i = 0; i < m; ++i) {  // no row returns its own point
        EXPECT_EQ(std::count(got.ids.begin() + i * k, got.ids.begin() + (i + 1) * k, ids[i]), 0);
      }
      const RadiusResult near = query_radius_ids(ix, ids.data(), m, 0.3 * d);
      const std::vector<double> rows = rows_from(points, d, ids);
      const RadiusResult near_rows = query_radius(ix, rows.data(), m, d, 0.3 * d, ids.data());
      EXPECT_TRUE(
          std::equal(near.indptr.begin(), near.indptr.end(), near_rows.indptr.begin(), near_rows.indptr.end()));
      EXPECT_TRUE(std::equal(near.ids.begin(), near.ids.end(), near_rows.ids.begin(), near_rows.ids.end()));
      EXPECT_TRUE(std::equal(near.dists.begin(), near.dists.end(), near_rows.dists.begin(), near_rows.dists.end()));
    }
    // The candidates move: the search by ids must read their new rows.
    Buffer<double> moved = index::testing::random_points(n - n_static, d, d + 77);
    maintenance::update(ix, moved);
    std::copy(moved.begin(), moved.end(), points.begin() + n_static * d);
  }
}

INSTANTIATE_TEST_SUITE_P(ByIds, ById, ::testing::Combine(::testing::Values(1, 3, 16, 17, 33), ::testing::Values(0, 1, 2)));

// An id outside the index stops the call before anything is written; no ids
// is an empty answer.
TEST(ByIds, IdsNamingNoPointAreArgumentErrorsAndNoIdsAreNoRows) {
  const testing::Built ix(3, 2, 2, 4, 300, 200, 3);
  for (std::int64_t bad : {std::int64_t{-1}, std::int64_t{300}, std::int64_t{1} << 40}) {
    const std::vector<std::int64_t> ids{0, 299, bad};
    std::vector<std::int64_t> out_ids(ids.size() * 2, 7);
    std::vector<double> out_dists(ids.size() * 2, 7.0);
    Counters counters;
    try {
      query_knn_ids(ix, counters, ids.data(), ids.size(), 2, out_ids.data(), out_dists.data());
      ADD_FAILURE() << bad;
    } catch (const ArgumentError& e) {
      const std::string want = "ids[2] = " + std::to_string(bad) + " does not name an indexed point (0 to 299)";
      EXPECT_NE(std::string(e.what()).find(want), std::string::npos) << e.what();
    }
    EXPECT_EQ(out_ids, std::vector<std::int64_t>(6, 7));
    EXPECT_EQ(counters.queries.load(), 0u);
    EXPECT_THROW(query_radius_ids(ix, ids.data(), ids.size(), 0.5), ArgumentError);
  }
  Counters counters;
  query_knn_ids(ix, counters, nullptr, 0, 3, nullptr, nullptr);
  EXPECT_EQ(query_radius_ids(ix, nullptr, 0, 0.5).indptr.size(), 1u);
}

}  // namespace
}  // namespace vb::query
