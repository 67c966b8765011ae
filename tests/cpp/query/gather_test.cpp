#include "query/gather.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "base/code_filter.h"
#include "base/errors.h"
#include "kernels/code_bound.h"
#include "kernels/torus_codes.h"
#include "query/lent_workspace.h"
#include "test_query.h"

namespace vb::query {
namespace {

// The gather by linear scans over the listed keys the gather itself recorded:
// static tier first, keys in listed order, each point at its first discovery.
Buffer<std::uint64_t> scanned(const index::Index& ix, const std::vector<ListedKey>& keys) {
  Buffer<std::uint64_t> out;
  std::vector<bool> seen(ix.n_points);
  auto tier = [&](const std::int64_t* run_keys, const std::int64_t* run_ids, std::size_t n) {
    for (const ListedKey& lk : keys) {
      for (std::size_t p = lk.table * n; p < (lk.table + 1) * n; ++p) {
        if (run_keys[p] == lk.key && !seen[run_ids[p]]) {
          seen[run_ids[p]] = true;
          out.push_back(static_cast<std::uint64_t>(run_ids[p]));
        }
      }
    }
  };
  tier(ix.static_keys.data(), ix.static_ids.data(), ix.n_static);
  tier(ix.cand_sorted_keys.data(), ix.cand_sorted_ids.data(), ix.n_cand());
  return out;
}

struct GatherCase {
  std::int64_t b;
  std::size_t k, l, probes, n, n_static;
};

class GatherQuery : public ::testing::TestWithParam<GatherCase> {};

// Lookups through the bucket offsets and through the batched binary search
// give the list of the linear scan, in the same order.
TEST_P(GatherQuery, EqualsTheLinearScanWithAndWithoutOffsets) {
  const GatherCase c = GetParam();
  testing::Built with_offsets(c.b, c.k, c.l, 3, c.n, c.n_static, 21, c.probes);
  testing::Built searched(c.b, c.k, c.l, 3, c.n, c.n_static, 21, c.probes);
  searched.static_offsets.clear();
  searched.cand_offsets.clear();
  Ws ws_a(c.n, 3, c.k), ws_b(c.n, 3, c.k);
  const auto queries = index::testing::random_points(30, 3, 5);
  for (std::size_t i = 0; i < 30; ++i) {
    const double* q = i < 10 ? with_offsets.points.data() + i * 3 : queries.data() + i * 3;
    gather_query(with_offsets, ws_a, q, 3);
    gather_query(searched, ws_b, q, 3);
    ASSERT_EQ(ws_a.probe_keys.size(), c.l * (1 + std::min(c.k, c.probes)));
    const auto want = scanned(with_offsets, ws_a.probe_keys);
    ASSERT_EQ(ws_a.cand_ids, want) << "query " << i;
    ASSERT_EQ(ws_b.cand_ids, want) << "query " << i;
    EXPECT_TRUE(i >= 10 || !want.empty());  // a stored point meets itself
  }
}

INSTANTIATE_TEST_SUITE_P(Gather, GatherQuery,
                         ::testing::Values(GatherCase{3, 3, 4, 2, 300, 120},   // both tiers
                                           GatherCase{3, 3, 4, 2, 300, 0},     // candidate tier only
                                           GatherCase{4, 2, 3, 5, 150, 150},   // static only, every digit probed
                                           GatherCase{1, 2, 2, 1, 40, 25},     // one bucket: everything
                                           GatherCase{1, 1, 1, 0, 9000, 6000}));  // buckets past one stage

TEST(Gather, AStampThatWrapsClearsTheMarks) {
  const testing::Built ix(3, 3, 4, 3, 300, 100, 4);
  const double* q = ix.points.data() + 7 * 3;
  Ws fresh(ix.n_points, 3, ix.k);
  gather_query(ix, fresh, q, 3);
  Ws ws(ix.n_points, 3, ix.k);
  ws.stamp = std::numeric_limits<Ws::Stamp>::max();
  // Marks of 0 (never listed) and 1 (as left by a gather 255 generations
  // ago): after the wrap, neither may read as listed by the current gather.
  for (std::size_t id = 0; id < ws.mark.size(); ++id) ws.mark[id] = static_cast<Ws::Stamp>(id % 2);
  gather_query(ix, ws, q, 3);
  EXPECT_EQ(ws.stamp, 1u);
  EXPECT_EQ(ws.cand_ids, fresh.cand_ids);
  // Two queries in turn through several wraps: each gather lists what a
  // fresh workspace lists.
  const double* other = ix.points.data() + 8 * 3;
  Ws fresh_other(ix.n_points, 3, ix.k);
  gather_query(ix, fresh_other, other, 3);
  for (int i = 0; i < 700; ++i) {
    gather_query(ix, ws, i % 2 == 0 ? other : q, 3);
    ASSERT_EQ(ws.cand_ids, i % 2 == 0 ? fresh_other.cand_ids : fresh.cand_ids) << "gather " << i;
  }
}

// A workspace lent again to later calls on the thread carries the marks of
// their gathers, also those of another index of the same size: each gather
// still lists what a fresh workspace lists. A call inside a call gets its own
// workspace, a call of another shape one of that shape, and a workspace whose
// lists grew huge is not kept.
TEST(Gather, ALentWorkspaceListsWhatAFreshOneLists) {
  const testing::Built ix(3, 3, 4, 3, 300, 100, 4);
  const testing::Built other(2, 3, 2, 3, 300, 300, 9);
  auto fresh_list = [](const index::Index& index, const double* q) {
    Ws fresh(index.n_points, 3, index.k);
    gather_query(index, fresh, q, 3);
    return fresh.cand_ids;
  };
  for (int call = 0; call < 6; ++call) {
    const index::Index& index = call % 3 == 2 ? static_cast<const index::Index&>(other) : ix;
    const double* q = ix.points.data() + (7 + call) * 3;
    LentWs lent(ix.n_points, 3, ix.k);
    gather_query(index, *lent, q, 3);
    EXPECT_EQ((*lent).cand_ids, fresh_list(index, q)) << "call " << call;
    LentWs inner(ix.n_points, 3, ix.k);
    EXPECT_NE(&*inner, &*lent);
    gather_query(index, *inner, q, 3);
    EXPECT_EQ((*inner).cand_ids, (*lent).cand_ids) << "call " << call;
  }
  {
    LentWs wide(ix.n_points, 5, ix.k + 1);
    EXPECT_EQ((*wide).query_f32.size(), 5u);
    EXPECT_EQ((*wide).codes.size(), ix.k + 1);
    (*wide).cand_ids.reserve(LentWs::kKeptCandidates + 1);
  }
  LentWs next(ix.n_points, 5, ix.k + 1);
  EXPECT_LE((*next).cand_ids.capacity(), LentWs::kKeptCandidates);
}

// Each candidate's bound is that of its own codes, whichever tier lists it
// (key-ordered codes for the static tier, row-major for the candidate
// tier), from the single-precision query; a gather that cannot bound, and a
// relaxation's widened gather, lists none.
// A bucket of more entries than the gather takes at a time (one cell
// holding thousands of points) keeps each bound beside its own id too.
TEST(Gather, BoundsBesideTheIdsAreThoseOfEachIdsOwnCodes) {
  testing::Built one_cell(1, 1, 1, 5, 9000, 6000, 8);
  Ws large(one_cell.n_points, 5, one_cell.k);
  const auto queries = index::testing::random_points(20, 5, 9);
  for (const double* q : {queries.data(), queries.data() + 5}) {
    gather_query(one_cell, large, q, 5);
    ASSERT_EQ(large.cand_ids.size(), one_cell.n_points);
    std::uint8_t codes[5];
    for (std::size_t c = 0; c < 5; ++c) codes[c] = kernels::torus_code(static_cast<float>(q[c]));
    for (std::size_t j = 0; j < large.cand_ids.size(); ++j) {
      const std::uint64_t id = large.cand_ids[j];
      ASSERT_EQ(large.cand_bound[j], kernels::pair_bound(codes, one_cell.codes.data() + id * 5, 5, one_cell.metric))
          << "position " << j;
    }
  }
  testing::Built ix(3, 2, 3, 5, 400, 250, 8);
  Ws ws(ix.n_points, 5, ix.k);
  std::size_t from_cand = 0;
  for (std::size_t i = 0; i < 20; ++i) {
    const double* q = queries.data() + i * 5;
    gather_query(ix, ws, q, 5);
    ASSERT_TRUE(ws.bounded);
    ASSERT_EQ(ws.cand_bound.size(), ws.cand_ids.size());
    std::uint8_t codes[5];
    for (std::size_t c = 0; c < 5; ++c) codes[c] = kernels::torus_code(static_cast<float>(q[c]));
    for (std::size_t j = 0; j < ws.cand_ids.size(); ++j) {
      const std::uint64_t id = ws.cand_ids[j];
      from_cand += id >= ix.n_static;
      ASSERT_EQ(ws.cand_bound[j], kernels::pair_bound(codes, ix.codes.data() + id * 5, 5, ix.metric))
          << "query " << i << " id " << id;
    }
  }
  EXPECT_GT(from_cand, 0u);
  ws.begin_gather();
  gather_range(ix, ws, 0, 0, 3);
  EXPECT_FALSE(ws.bounded);

  Buffer<double> off(queries.data(), queries.data() + 5);
  off[2] = 1.5;
  gather_query(ix, ws, off.data(), 5);
  EXPECT_FALSE(ws.bounded) << "a coordinate off the torus";
  const Buffer<double> wide(queries.data(), queries.data() + 6);
  gather_query(ix, ws, wide.data(), 6);
  EXPECT_FALSE(ws.bounded) << "more columns than the index";
  set_code_filter(false);
  index::choose_kernels(ix);
  gather_query(ix, ws, queries.data(), 5);
  EXPECT_FALSE(ws.bounded) << "filter off";
  set_code_filter(true);
  index::choose_kernels(ix);
}

}  // namespace
}  // namespace vb::query
