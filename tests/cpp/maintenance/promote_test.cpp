#include "maintenance/promote.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "../index/test_index.h"
#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "index/build.h"
#include "maintenance/refresh.h"
#include "maintenance_test_util.h"
#include "pool/pool.h"

namespace vb::maintenance {
namespace {

using index::Index;
using testing::at;
using testing::eight_buckets;
using testing::Snapshot;
using testing::values;
using Ids = std::vector<std::int64_t>;

TEST(Promote, CandidatesGoBeforeStaticEntriesOfEqualKey) {
  Index ix = eight_buckets();
  index::build(ix, at({5, 5, 5, 3}), 4, 1, 1);
  update(ix, at({5, 5, 5}));  // candidate 3 joins key 5 first: the run is now ids [3, 1, 2]
  ASSERT_EQ(values(ix.cand_sorted_ids), (Ids{3, 1, 2}));

  promote(ix, at({6, 1}), 2, 1);
  EXPECT_EQ(values(ix.static_keys), (Ids{5, 5, 5, 5}));
  EXPECT_EQ(values(ix.static_ids), (Ids{3, 1, 2, 0}));  // the candidate run's order, then the static point
  EXPECT_EQ(values(ix.cand_keys), (Ids{6, 1}));
  EXPECT_EQ(values(ix.cand_sorted_keys), (Ids{1, 6}));
  EXPECT_EQ(values(ix.cand_sorted_ids), (Ids{5, 4}));
  EXPECT_EQ(std::make_pair(ix.n_points, ix.n_static), std::make_pair(std::size_t{6}, std::size_t{4}));
  EXPECT_EQ(values(ix.points), values(at({5, 5, 5, 5, 6, 1})));
  EXPECT_EQ(ix.points_f32[5], static_cast<float>(at({1})[0]));

  promote(ix, Buffer<double>(), 0, 1);  // an empty batch: everything static
  EXPECT_EQ(values(ix.static_ids), (Ids{5, 3, 1, 2, 0, 4}));
  EXPECT_TRUE(ix.cand_keys.empty() && ix.cand_sorted_ids.empty() && ix.cand_offsets.empty());
  EXPECT_EQ(ix.n_static, 6u);

  const std::int64_t* keys_before = ix.static_keys.data();
  const std::int64_t* ids_before = ix.static_ids.data();
  promote(ix, at({2}), 1, 1);  // an empty candidate tier: the static runs stay as they are
  EXPECT_EQ(ix.static_keys.data(), keys_before);
  EXPECT_EQ(ix.static_ids.data(), ids_before);
  EXPECT_EQ(values(ix.static_ids), (Ids{5, 3, 1, 2, 0, 4}));
  EXPECT_EQ(values(ix.static_offsets), (std::vector<std::uint32_t>{0, 0, 1, 1, 1, 1, 5, 6, 6}));
  EXPECT_EQ(values(ix.cand_sorted_ids), (Ids{6}));
}

struct RefusedCase {
  const char* name;
  bool built;
  std::size_t columns;
  std::string message;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class PromoteRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(PromoteRefused, BeforeAnythingChanges) {
  const RefusedCase& c = GetParam();
  Index ix = index::testing::random_index(4, 3, 2, 3, 71);
  if (c.built) index::build(ix, index::testing::random_points(20, 3, 72), 20, 3, 12);
  const Snapshot before(ix);
  try {
    promote(ix, index::testing::random_points(2, c.columns, 73), 2, c.columns);
    FAIL() << "no exception";
  } catch (const ArgumentError& e) {
    EXPECT_EQ(std::string(e.what()), c.message);
  }
  EXPECT_EQ(Snapshot(ix), before);
  EXPECT_EQ(ix.built, c.built);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PromoteRefused,
    ::testing::Values(RefusedCase{"NeverBuilt", false, 3, "promote needs a built index; call build first"},
                      RefusedCase{"TooFewColumns", true, 2,
                                  "new_candidates have 2 columns but the index holds 3-dimensional points"},
                      RefusedCase{"TooManyColumns", true, 4,
                                  "new_candidates have 4 columns but the index holds 3-dimensional points"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

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
  index::build(ix, Buffer<double>(all), 500, d, 300);
  const std::size_t batches[] = {150, 0, 0, 90, 1};  // the third promote finds no candidates
  for (std::size_t round = 0; round < std::size(batches); ++round) {
    const std::size_t m = batches[round];
    if (ix.n_cand() > 0) update(ix, index::testing::random_points(ix.n_cand(), d, 90 + round));
    std::copy(ix.points.begin(), ix.points.end(), all.begin());
    const auto [want_keys, want_ids] = merge_oracle(ix);
    const Buffer<double> batch = index::testing::random_points(m, d, 100 + round);
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
  }
}

INSTANTIATE_TEST_SUITE_P(FewAndManyBuckets, RandomPromotions, ::testing::Values(1, 2, 7));

TEST(Promote, OneThreadAndThePoolAgree) {
  const std::size_t d = 4, n = 4000;
  Index serial = index::testing::random_index(3, 6, 8, d, 91);
  Index pooled = index::testing::random_index(3, 6, 8, d, 91);
  index::build(serial, index::testing::random_points(n, d, 92), n, d, 2500);
  index::build(pooled, index::testing::random_points(n, d, 92), n, d, 2500);
  const Buffer<double> batch = index::testing::random_points(1200, d, 93);
  {
    pool::ScopedSerial one_thread;
    promote(serial, batch, 1200, d);
  }
  promote(pooled, batch, 1200, d);
  EXPECT_EQ(Snapshot(serial), Snapshot(pooled));
}

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
