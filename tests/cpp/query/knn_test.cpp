#include "query/knn.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <tuple>
#include <vector>

#include "base/code_filter.h"
#include "base/errors.h"
#include "query/blocked.h"
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
// the blocked path and both radius paths, from a worker of the pool. At
// d = 8 the blocked path reads its key-ordered codes in place and checks
// only the survivors' ids: one bad id among them is enough.
TEST(Knn, CorruptedIdsAreInternalErrorsOnEveryPath) {
  for (std::size_t d : {2u, 8u}) {
    testing::Built ix(2, 2, 2, d, 500, 500, 3);
    for (auto& id : ix.static_ids) id = 1 << 20;
    const Buffer<double> queries = index::testing::random_points(200, d, 4);
    for (std::size_t m : {10u, 200u}) EXPECT_THROW(run_knn(ix, queries, m, 3, nullptr), InternalError) << d << m;
    for (auto path : {radius_gathered, radius_tiled}) {
      EXPECT_THROW(path(ix, queries.data(), 200, d, 1.0, nullptr), InternalError) << d;
    }
  }
}

// What a per-query call observably does: its rows and its counters.
struct PerQuery {
  Rows rows;
  std::uint64_t pairs, cands, relaxed;
};

PerQuery per_query(const index::Index& ix, const Buffer<double>& queries, std::size_t m, std::size_t k,
                   const std::int64_t* exclude) {
  std::vector<std::int64_t> ids(m * k);
  std::vector<double> dists(m * k);
  Counters c;
  knn_per_query(ix, c, {{queries.data(), m, ix.d, k, exclude}, ids.data(), dists.data()});
  return {testing::rows_of(std::move(ids), dists), c.pairs.load(), c.cands.load(), c.relaxed.load()};
}

// The per-query path measures candidates by their codes first only when the
// filter is on: rows and counters (pairs and cands count every gathered
// candidate, relaxed the short rows) are those of measuring every candidate,
// bit for bit, and the blocked path gives the same rows.
void expect_codes_change_nothing(index::Index& ix, const Buffer<double>& queries, std::size_t m, std::size_t k,
                                 const std::int64_t* exclude, const std::string& label) {
  set_code_filter(false);
  index::choose_kernels(ix);
  ASSERT_EQ(ix.kernels.code_rows.row, nullptr);
  const PerQuery want = per_query(ix, queries, m, k, exclude);
  set_code_filter(true);
  index::choose_kernels(ix);
  ASSERT_NE(ix.kernels.code_rows.row, nullptr);
  const PerQuery got = per_query(ix, queries, m, k, exclude);
  EXPECT_EQ(got.rows.ids, want.rows.ids) << label;
  EXPECT_EQ(got.rows.dist_bits, want.rows.dist_bits) << label;
  EXPECT_EQ(got.pairs, want.pairs) << label;
  EXPECT_EQ(got.cands, want.cands) << label;
  EXPECT_EQ(got.relaxed, want.relaxed) << label;
  if (k > kBlockedMaxK) return;
  std::vector<std::int64_t> ids(m * k);
  std::vector<double> dists(m * k);
  Counters counters;
  knn_blocked(ix, counters, {{queries.data(), m, ix.d, k, exclude}, ids.data(), dists.data()});
  const Rows blocked = testing::rows_of(std::move(ids), dists);
  EXPECT_EQ(blocked.ids, want.rows.ids) << label << " blocked";
  EXPECT_EQ(blocked.dist_bits, want.rows.dist_bits) << label << " blocked";
}

// (d, static tier: 0 none / 1 part / 2 all of the points, L2)
class PerQueryCodes : public ::testing::TestWithParam<std::tuple<std::size_t, int, bool>> {};

// On the unit torus and in a cube (whose bound is scaled, not weighted).
// Points come in pairs of duplicates (ties at every distance, broken by id)
// and half the queries are indexed points with their own id excluded (a
// duplicate then at distance 0). Three shapes: dense cells of about 70
// points (k from 1 to beyond the candidates, which relaxes); sparse cells
// of about 5, where most rows are relaxed; and one cell holding every point,
// with k up to every point but one.
TEST_P(PerQueryCodes, SameRowsAndCountersWithTheFilterOnAndOff) {
  const auto [d, tiers, l2] = GetParam();
  const std::size_t n = 600;
  const std::size_t n_static = tiers == 0 ? 0 : tiers == 1 ? 350 : n;
  Buffer<double> points = index::testing::random_points(n, d, d * 7 + tiers);
  for (std::size_t p = 0; p + 1 < n; p += 5) std::copy_n(points.data() + p * d, d, points.data() + (p + 1) * d);
  const std::size_t m = 40;
  Buffer<double> queries = index::testing::random_points(m, d, d + 3);
  std::vector<std::int64_t> exclude(m, -1);
  for (std::size_t i = 0; i < m; i += 2) {
    exclude[i] = static_cast<std::int64_t>((i * 37) % n);
    std::copy_n(points.data() + exclude[i] * d, d, queries.data() + i * d);
  }
  struct Shape {
    std::int64_t b;
    std::size_t digits, l, probes;
    std::vector<std::size_t> ks;
  };
  for (const Shape& shape : {Shape{3, 2, 3, 2, {1, 10, 150, 500}}, Shape{5, 3, 2, 1, {10}},
                             Shape{1, 1, 1, 0, {1, 7, n - 1}}}) {
    index::Index ix = index::testing::random_index(shape.b, shape.digits, shape.l, d, d + 11);
    ix.probes = shape.probes;
    index::build(ix, points, n, d, n_static);
    for (testing::Box box : {testing::Box::kUnit, testing::Box::kCube}) {
      testing::set_form(ix, l2 ? Metric::kL2 : Metric::kL1, box);
      for (std::size_t k : shape.ks) {
        const std::string label =
            std::string(testing::box_name(box)) + " b " + std::to_string(shape.b) + " k " + std::to_string(k);
        expect_codes_change_nothing(ix, queries, m, k, exclude.data(), label + " excluding");
        expect_codes_change_nothing(ix, queries, m, k, nullptr, label);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Knn, PerQueryCodes,
                         ::testing::Combine(::testing::Values(1, 2, 3, 5, 8, 15, 16, 17, 24, 33),
                                            ::testing::Values(0, 1, 2), ::testing::Bool()));

// The query sits at the top of its code, at the top of its cell in the
// first table. The point nearest below it (A) lies in that cell with a loose
// bound; the winner (B) lies above it, a hair nearer, at the bottom of its
// code, so its bound is tight: equal to the bar that A sets once it is kept.
// Far points fill the cells. In one table (every point in one cell) B is
// listed last; in two tables B lies beyond the first table's cell and is met
// only in the second one's, after the first table's candidates have set the
// bar. Both tiers: codes in key order and codes by id. B must still be
// measured, and win.
TEST(Knn, ACandidateWhoseBoundEqualsTheBarIsMeasured) {
  const double q = 128.0 / 256 - 0x1p-20;
  const double a = 125.0 / 256 - 0x3p-20;  // 3/256 + 2^-19 away, bound 2 (L1) or 4 (L2)
  const double b = 131.0 / 256;            // 3/256 + 2^-20 away, bound 3 (L1) or 9 (L2), the bar's floor
  Buffer<double> points(301);
  points[0] = a;
  for (std::size_t p = 1; p < 300; ++p) points[p] = (p % 2 == 0 ? 0.26 : 0.7) + 0.0001 * static_cast<double>(p);
  points[300] = b;
  struct Layout {
    std::int64_t buckets;
    std::vector<double> shifts;  // one table a shift
  };
  // Four cells a table: the first table cuts at 1/2, between A and B; the
  // second, shifted by 1/8, holds the query, A and B in one cell.
  for (const Layout& layout : {Layout{1, {0.0}}, Layout{4, {0.0, 0.125}}}) {
    for (std::size_t n_static : {points.size(), std::size_t{0}}) {
      for (Metric metric : {Metric::kL1, Metric::kL2}) {
        const std::size_t l = layout.shifts.size();
        index::Index ix(layout.buckets, 1, l, 0, std::vector<std::int64_t>(l, 0), layout.shifts, 1024);
        index::build(ix, points, points.size(), 1, n_static);
        ix.metric = metric;
        index::choose_kernels(ix);
        const Buffer<double> query = {q};
        const std::string label = "tables " + std::to_string(l) + " static " + std::to_string(n_static);
        const PerQuery got = per_query(ix, query, 1, 1, nullptr);
        EXPECT_EQ(got.rows.ids, std::vector<std::int64_t>{300}) << label;
        expect_codes_change_nothing(ix, query, 1, 1, nullptr, label + " tight bound");
        expect_codes_change_nothing(ix, query, 1, 2, nullptr, label + " tight bound");
      }
    }
  }
}

}  // namespace
}  // namespace vb::query
