#include "query/relax.h"

#include <gtest/gtest.h>

#include <vector>

#include "index/errors.h"
#include "query/gather.h"
#include "query/query_codes.h"
#include "query/refine.h"
#include "test_query.h"

namespace vb::query {
namespace {

using testing::Index;

std::vector<std::int64_t> base_keys(const Index& ix, const double* q) {
  std::vector<std::int64_t> keys(ix.l), codes(ix.k);
  std::vector<double> frac(ix.k);
  for (std::size_t t = 0; t < ix.l; ++t) keys[t] = query_codes(ix, q, ix.d, t, codes.data(), frac.data());
  return keys;
}

// Entries of the widened cells of a level, counted by scanning the tables.
std::size_t entries_at(const Index& ix, const std::vector<std::int64_t>& keys, std::size_t level) {
  const std::int64_t width = ix.b_pow[level];
  std::size_t total = 0;
  for (std::size_t t = 0; t < ix.l; ++t) {
    const std::int64_t lo = keys[t] - keys[t] % width;
    for (std::size_t p = 0; p < ix.n_static; ++p) {
      const std::int64_t key = ix.static_keys[t * ix.n_static + p];
      total += key >= lo && key < lo + width;
    }
    for (std::size_t p = 0; p < ix.n_cand(); ++p) {
      const std::int64_t key = ix.cand_sorted_keys[t * ix.n_cand() + p];
      total += key >= lo && key < lo + width;
    }
  }
  return total;
}

TEST(Relax, LevelIsTheFirstWhoseCellsHoldFourEntriesPerNeighbour) {
  const testing::Built ix(3, 5, 3, 3, 400, 150, 13);
  const auto queries = testing::random_points(30, 3, 14);
  for (std::size_t i = 0; i < 30; ++i) {
    const auto keys = base_keys(ix, queries.data() + i * 3);
    for (std::size_t need : {1, 5, 40, 300, 1000}) {
      std::size_t want = ix.k;
      for (std::size_t level = 1; level < ix.k; ++level) {
        if (entries_at(ix, keys, level) >= 4 * need) {
          want = level;
          break;
        }
      }
      EXPECT_EQ(relax_level(ix, keys.data(), need), want) << "query " << i << " need " << need;
    }
  }
}

TEST(Relax, OneDigitKeysGoStraightToTheWholeIndex) {
  const testing::Built ix(5, 1, 2, 2, 50, 20, 2);
  const std::int64_t keys[] = {0, 0};
  EXPECT_EQ(relax_level(ix, keys, 1), 1u);
}

struct ExhaustiveCase {
  std::size_t l, n, need;
  std::int64_t exclude;
};

class RelaxExhaustive : public ::testing::TestWithParam<ExhaustiveCase> {};

// With l × n < 4 × need no level qualifies: every point is gathered once
// through table 0 and the result is the exact answer over the whole index.
TEST_P(RelaxExhaustive, EqualsBruteForce) {
  const ExhaustiveCase c = GetParam();
  const testing::Built ix(4, 3, c.l, 3, c.n, c.n / 3, 17);
  ASSERT_LT(c.l * c.n, 4 * c.need);
  const auto queries = testing::random_points(10, 3, 18);
  Ws ws(ix.n_points, 3, ix.k);
  TopK topk(std::min(c.need, ix.n_points));
  for (std::size_t i = 0; i < 10; ++i) {
    const double* q = queries.data() + i * 3;
    ws.set_query(q);
    relax_query(ix, ws, topk, q, 3, c.need, c.exclude, 0);
    EXPECT_EQ(ws.cand_ids.size(), ix.n_points);
    std::vector<Entry> got(topk.heap.begin(), topk.heap.begin() + static_cast<std::ptrdiff_t>(topk.len));
    std::sort(got.begin(), got.end(), nearer);
    const auto want = testing::brute_force_knn(ix, q, c.need, c.exclude);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t j = 0; j < got.size(); ++j) {
      EXPECT_EQ(got[j].id, want[j].id);
      EXPECT_EQ(got[j].dist_bits, want[j].dist_bits);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Relax, RelaxExhaustive,
                         ::testing::Values(ExhaustiveCase{1, 20, 8, -1}, ExhaustiveCase{2, 30, 16, 4},
                                           ExhaustiveCase{1, 6, 10, 2},      // fewer points than asked
                                           ExhaustiveCase{3, 9, 40, 99}));   // an exclude that names no point

// Four identical tables put the one point of the query's level-1 cell there
// four times: enough entries for one neighbour by count, but that point is
// excluded. The next level up is gathered afresh until a neighbour is found.
TEST(Relax, AShortWidenedRowClimbsToTheNextLevel) {
  Index ix(4, 2, 4, 0, {0, 1, 0, 1, 0, 1, 0, 1}, std::vector<double>(8, 0.0), 1024);
  Buffer<double> points = {0.1, 0.1, 0.9, 0.6};
  index::build(ix, std::move(points), 2, 2, 2);
  Ws ws(2, 2, ix.k);
  TopK topk(1);
  const double q[] = {0.1, 0.1};
  ws.set_query(q);
  const auto keys = base_keys(ix, q);
  EXPECT_EQ(relax_level(ix, keys.data(), 1), 1u);
  relax_query(ix, ws, topk, q, 2, 1, 0, 1);
  ASSERT_EQ(topk.len, 1u);
  EXPECT_EQ(topk.heap[0].id, 1);
  // Without the demand for one entry the first level's answer stands: empty.
  relax_query(ix, ws, topk, q, 2, 1, 0, 0);
  EXPECT_EQ(topk.len, 0u);
}

}  // namespace
}  // namespace vb::query
