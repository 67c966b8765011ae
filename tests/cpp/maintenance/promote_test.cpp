#include "maintenance/promote.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "../index/test_index.h"
#include "index/bucket_offsets.h"
#include "index/build.h"
#include "maintenance/refresh.h"
#include "maintenance_test_util.h"

namespace vb::maintenance {
namespace {

using index::Index;
using testing::values;
using Ids = std::vector<std::int64_t>;

// Per table: the candidate run followed by the static run, stably sorted by key,
// which is candidate-before-static with each side in its own order.
std::pair<Ids, Ids> merge_oracle(const Index& ix) {
  const std::size_t s = ix.n_static, c = ix.n_cand(), n = s + c;
  Ids keys, ids;
  for (std::size_t t = 0; t < ix.l; ++t) {
    std::vector<std::pair<std::int64_t, std::int64_t>> run;
    for (std::size_t p = 0; p < c; ++p) run.emplace_back(ix.cand_sorted_keys[t * c + p], ix.cand_sorted_ids[t * c + p]);
    for (std::size_t p = 0; p < s; ++p) run.emplace_back(ix.static_keys[t * s + p], ix.static_ids[t * s + p]);
    std::stable_sort(run.begin(), run.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t p = 0; p < n; ++p) {
      keys.push_back(run[p].first);
      ids.push_back(run[p].second);
    }
  }
  return {keys, ids};
}

class RandomPromotions : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(RandomPromotions, MergeByKeyKeepIdsAndInstallTheBatch) {
  const std::int64_t b = GetParam();
  const std::size_t d = 3;
  Index ix = index::testing::random_index(b, 4, 3, d, 81);
  Buffer<double> all = index::testing::random_points(500, d, 82);
  all[7] = -0.5;  // a static point off the torus, for good
  index::build(ix, Buffer<double>(all), 500, d, 300);
  EXPECT_EQ(values(ix.static_codes), index::testing::key_ordered_oracle(ix));
  const std::size_t batches[] = {150, 0, 0, 90, 1};  // the third promote finds no candidates
  for (std::size_t round = 0; round < std::size(batches); ++round) {
    const std::size_t m = batches[round];
    if (ix.n_cand() > 0) {
      Buffer<double> moved = index::testing::random_points(ix.n_cand(), d, 90 + round);
      moved[0] = 1.5;  // off the torus, into the static tier with this promote
      update(ix, moved);
    }
    std::copy(ix.points.begin(), ix.points.end(), all.begin());
    const auto [want_keys, want_ids] = merge_oracle(ix);
    Buffer<double> batch = index::testing::random_points(m, d, 100 + round);
    const std::size_t n0 = ix.n_points;

    promote(ix, batch, m, d);
    all.insert(all.end(), batch.begin(), batch.end());
    EXPECT_EQ(values(ix.static_keys), want_keys);
    EXPECT_EQ(values(ix.static_ids), want_ids);
    EXPECT_EQ(values(ix.static_offsets), values(index::build_offsets(ix, ix.static_keys.data(), n0)));
    EXPECT_EQ(values(ix.points), values(all));
    EXPECT_EQ(values(ix.points_f32), values(index::to_f32(all.data(), all.size())));
    ASSERT_EQ(ix.n_points, n0 + m);
    ASSERT_EQ(ix.n_static, n0);

    Index fresh = index::testing::random_index(b, 4, 3, d, 81);
    index::build(fresh, Buffer<double>(all), all.size() / d, d, n0);
    EXPECT_EQ(values(ix.cand_keys), values(fresh.cand_keys));
    EXPECT_EQ(values(ix.cand_sorted_keys), values(fresh.cand_sorted_keys));
    EXPECT_EQ(values(ix.cand_sorted_ids), values(fresh.cand_sorted_ids));
    EXPECT_EQ(values(ix.cand_offsets), values(fresh.cand_offsets));
    EXPECT_EQ(values(ix.codes), values(fresh.codes));
    EXPECT_EQ(values(ix.static_codes), index::testing::key_ordered_oracle(ix));
    EXPECT_EQ(std::pair(ix.off_torus_static, ix.off_torus_cand), std::pair(fresh.off_torus_static, fresh.off_torus_cand));
    // The static point off the torus, and every update's moved point since promoted.
    EXPECT_EQ(ix.off_torus_static, static_cast<std::size_t>(std::count_if(
                                       all.begin(), all.begin() + n0 * d, [](double x) { return x < 0 || x >= 1; })));
    EXPECT_GE(ix.off_torus_static, round == 0 ? 2u : 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(FewAndManyBuckets, RandomPromotions, ::testing::Values(1, 2, 7));

TEST(MergeRuns, EitherRunMayBeEmpty) {
  const Ids keys{1, 4}, ids{7, 8};
  Ids out_keys(2), out_ids(2);
  merge_runs(keys.data(), ids.data(), 2, nullptr, nullptr, 0, out_keys.data(), out_ids.data());
  EXPECT_EQ(out_ids, ids);
  merge_runs(nullptr, nullptr, 0, keys.data(), ids.data(), 2, out_keys.data(), out_ids.data());
  EXPECT_EQ(out_keys, keys);
}

}  // namespace
}  // namespace vb::maintenance
