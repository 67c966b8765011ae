#include "query/gather.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "base/errors.h"
#include "test_query.h"

namespace vb::query {
namespace {

// The gather by linear scans over the listed keys the gather itself recorded:
// static tier first, keys in listed order, each point at its first discovery.
std::vector<std::uint64_t> scanned(const index::Index& ix, const std::vector<ListedKey>& keys) {
  std::vector<std::uint64_t> out;
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
                                           GatherCase{1, 2, 2, 1, 40, 25}));   // one bucket: everything

TEST(Gather, AStampThatWrapsClearsTheMarks) {
  const testing::Built ix(3, 3, 4, 3, 300, 100, 4);
  const double* q = ix.points.data() + 7 * 3;
  Ws fresh(ix.n_points, 3, ix.k);
  gather_query(ix, fresh, q, 3);
  Ws ws(ix.n_points, 3, ix.k);
  ws.stamp = std::numeric_limits<std::uint32_t>::max();
  // Marks of 0 (never listed) and 1 (as left by a gather 2^32 generations
  // ago): after the wrap, neither may read as listed by the current gather.
  for (std::size_t id = 0; id < ws.mark.size(); ++id) ws.mark[id] = id % 2;
  gather_query(ix, ws, q, 3);
  EXPECT_EQ(ws.stamp, 1u);
  EXPECT_EQ(ws.cand_ids, fresh.cand_ids);
}

}  // namespace
}  // namespace vb::query
