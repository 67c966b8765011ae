#include "query/gather.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "index/errors.h"
#include "query/query_codes.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Index;

// The listed keys of a query, per table the base key then the probes.
std::vector<ListedKey> listed_keys(const Index& ix, const double* q) {
  std::vector<ListedKey> out;
  std::vector<std::int64_t> codes(ix.k), probes(ix.k);
  std::vector<double> frac(ix.k), margin(ix.k);
  for (std::size_t t = 0; t < ix.l; ++t) {
    const std::int64_t base = query_codes(ix, q, ix.d, t, codes.data(), frac.data());
    out.push_back({static_cast<std::uint32_t>(t), base});
    probe_keys(ix, base, codes.data(), frac.data(), margin.data(), probes.data());
    for (std::size_t p = 0; p < probe_count(ix); ++p) out.push_back({static_cast<std::uint32_t>(t), probes[p]});
  }
  return out;
}

// The gather by linear scans: every entry of a listed key, static tier first,
// keys in listed order, each point at its first discovery.
std::vector<std::uint64_t> scanned(const Index& ix, const double* q) {
  std::vector<std::uint64_t> out;
  std::vector<bool> seen(ix.n_points);
  const auto keys = listed_keys(ix, q);
  auto tier = [&](const std::int64_t* run_keys, const std::int64_t* run_ids, std::size_t n) {
    for (const ListedKey& lk : keys) {
      for (std::size_t p = 0; p < n; ++p) {
        const std::int64_t id = run_ids[lk.table * n + p];
        if (run_keys[lk.table * n + p] == lk.key && !seen[id]) {
          seen[id] = true;
          out.push_back(static_cast<std::uint64_t>(id));
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
  const std::size_t d = 3;
  testing::Built with_offsets(c.b, c.k, c.l, d, c.n, c.n_static, 21, c.probes);
  testing::Built searched(c.b, c.k, c.l, d, c.n, c.n_static, 21, c.probes);
  searched.static_offsets.clear();
  searched.cand_offsets.clear();
  Ws ws_a(c.n, d, c.k), ws_b(c.n, d, c.k);
  const auto queries = testing::random_points(40, d, 5);
  std::size_t found = 0;
  for (std::size_t i = 0; i < 40; ++i) {
    const double* q = i < 10 && c.n > 0 ? with_offsets.points.data() + i * d : queries.data() + i * d;
    const auto want = scanned(with_offsets, q);
    gather_query(with_offsets, ws_a, q, d);
    gather_query(searched, ws_b, q, d);
    ASSERT_EQ(ws_a.cand_ids, want) << "query " << i;
    ASSERT_EQ(ws_b.cand_ids, want) << "query " << i;
    ASSERT_EQ(ws_a.probe_keys.size(), c.l * (1 + std::min(c.k, c.probes)));
    found += want.size();
  }
  if (c.n > 0) {
    EXPECT_GT(found, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Gather, GatherQuery,
                         ::testing::Values(GatherCase{3, 3, 4, 2, 300, 120},   // both tiers
                                           GatherCase{3, 3, 4, 2, 300, 0},     // candidate tier only
                                           GatherCase{3, 3, 4, 2, 300, 300},   // static tier only
                                           GatherCase{2, 4, 2, 0, 200, 77},    // base keys only
                                           GatherCase{4, 2, 3, 5, 150, 60},    // every digit probed
                                           GatherCase{1, 2, 2, 1, 40, 25},     // one bucket: everything
                                           GatherCase{3, 3, 2, 1, 0, 0},       // no points
                                           GatherCase{2, 1, 1, 1, 1, 1}));     // a single point

TEST(Gather, AStampThatWrapsClearsTheMarks) {
  const testing::Built ix(3, 3, 4, 3, 300, 100, 4);
  const double* q = ix.points.data() + 7 * 3;
  Ws fresh(ix.n_points, 3, ix.k);
  gather_query(ix, fresh, q, 3);
  ASSERT_FALSE(fresh.cand_ids.empty());

  Ws ws(ix.n_points, 3, ix.k);
  ws.stamp = std::numeric_limits<std::uint32_t>::max() - 1;
  gather_query(ix, ws, q, 3);
  EXPECT_EQ(ws.stamp, std::numeric_limits<std::uint32_t>::max());
  EXPECT_EQ(ws.cand_ids, fresh.cand_ids);
  // Marks of 0 (never listed) and 1 (as left by a gather 2^32 generations
  // ago): after the wrap, neither may read as listed by the current gather.
  for (std::size_t id = 0; id < ws.mark.size(); ++id) ws.mark[id] = id % 2;
  gather_query(ix, ws, q, 3);
  EXPECT_EQ(ws.stamp, 1u);
  EXPECT_EQ(ws.cand_ids, fresh.cand_ids);
}

TEST(Gather, RangeListsEveryKeyOfTheIntervalInBothTiers) {
  const testing::Built ix(3, 3, 2, 3, 200, 90, 8);
  Ws ws(ix.n_points, 3, ix.k);
  // Keys lie in [0, 27); the intervals stay inside.
  for (auto [lo, width] : std::vector<std::pair<std::int64_t, std::int64_t>>{
           {0, 1}, {3, 3}, {9, 9}, {18, 9}, {26, 1}, {0, 27}, {5, 4}}) {
    ws.begin_gather();
    gather_range(ix, ws, 1, lo, width);
    std::vector<std::uint64_t> want;
    for (std::size_t p = 0; p < ix.n_static; ++p) {
      const std::int64_t key = ix.static_keys[ix.n_static + p];
      if (key >= lo && key < lo + width) want.push_back(static_cast<std::uint64_t>(ix.static_ids[ix.n_static + p]));
    }
    const std::size_t n_cand = ix.n_cand();
    for (std::size_t p = 0; p < n_cand; ++p) {
      const std::int64_t key = ix.cand_sorted_keys[n_cand + p];
      if (key >= lo && key < lo + width) want.push_back(static_cast<std::uint64_t>(ix.cand_sorted_ids[n_cand + p]));
    }
    EXPECT_EQ(ws.cand_ids, want) << "lo " << lo << " width " << width;
  }
}

TEST(Gather, AnIdBeyondThePointsIsAnInternalError) {
  testing::Built ix(2, 2, 1, 2, 20, 20, 3);
  for (auto& id : ix.static_ids) id = 20;  // a corrupted run
  Ws ws(ix.n_points, 2, ix.k);
  EXPECT_THROW(gather_query(ix, ws, ix.points.data(), 2), InternalError);
}

}  // namespace
}  // namespace vb::query
