#include "maintenance/refresh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "../index/test_index.h"
#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "index/build.h"
#include "index/hash_keys.h"
#include "maintenance_test_util.h"
#include "pool/pool.h"

namespace vb::maintenance {
namespace {

using index::Index;
using testing::Snapshot;
using testing::values;

TEST(ReplaceChanged, SignedKeysAndTieBreaks) {
  // Candidates 10..15. The run holds the old keys, the key -3 group in an order
  // that earlier updates left (not by id).
  const std::vector<std::int64_t> stale{-3, -3, -3, 7, 4, -3};
  const std::vector<std::int64_t> fresh{-5, -3, 9, -3, 4, -3};
  std::vector<std::int64_t> keys{-3, -3, -3, -3, 4, 7};
  std::vector<std::int64_t> ids{12, 15, 11, 10, 14, 13};
  TableChanges changes = table_changes(fresh.data(), stale.data(), 6, 10);
  ASSERT_EQ(changes.entries.size(), 3u);
  replace_changed(keys.data(), ids.data(), 6, 10, changes);
  EXPECT_EQ(keys, (std::vector<std::int64_t>{-5, -3, -3, -3, 4, 9}));
  // 13 moved to -3 and goes first in that group; the kept 15 and 11 keep their order.
  EXPECT_EQ(ids, (std::vector<std::int64_t>{10, 13, 15, 11, 14, 12}));
}

// Offsets of a run as counts: entry v = keys below v, for v in [0, nb].
std::vector<std::uint32_t> counted_offsets(const std::vector<std::int64_t>& keys, std::size_t nb) {
  std::vector<std::uint32_t> out(nb + 1);
  for (std::size_t v = 0; v <= nb; ++v) {
    for (std::int64_t key : keys) out[v] += key < static_cast<std::int64_t>(v);
  }
  return out;
}

TEST(ShiftOffsets, FollowsEveryMoveIncludingKeysOutsideTheBuckets) {
  // Moves up, down, within equal keys, from and to below 0 and past nb = 6.
  const std::vector<std::int64_t> stale{-2, 0, 3, 3, 5, 9, 1, 4};
  const std::vector<std::int64_t> fresh{1, 0, 6, 2, -1, 3, 1, 11};
  TableChanges changes = table_changes(fresh.data(), stale.data(), stale.size(), 0);
  // A run of the old keys (ids 0..7 in key order) for replace_changed to re-place.
  std::vector<std::int64_t> ids{0, 1, 6, 2, 3, 7, 4, 5};
  std::vector<std::int64_t> keys;
  for (std::int64_t id : ids) keys.push_back(stale[id]);
  replace_changed(keys.data(), ids.data(), keys.size(), 0, changes);
  EXPECT_EQ(values(changes.old_keys), (std::vector<std::int64_t>{-2, 3, 3, 4, 5, 9}));
  std::vector<std::uint32_t> offsets = counted_offsets(stale, 6);
  shift_offsets(offsets.data(), 6, changes);
  EXPECT_EQ(offsets, counted_offsets(fresh, 6));
}

// The refresh as a plain list algorithm: the changed list sorted by (key, id),
// the kept list in run order, then a merge that prefers the changed list on
// equal keys.
void refresh_oracle(std::vector<std::int64_t>& keys, std::vector<std::int64_t>& ids, const std::int64_t* fresh,
                    const std::int64_t* stale, std::int64_t id_base) {
  std::vector<std::pair<std::int64_t, std::int64_t>> changed, kept, out;
  for (std::size_t j = 0; j < keys.size(); ++j) {
    if (fresh[j] != stale[j]) changed.emplace_back(fresh[j], id_base + static_cast<std::int64_t>(j));
  }
  std::sort(changed.begin(), changed.end());
  for (std::size_t p = 0; p < keys.size(); ++p) {
    if (fresh[ids[p] - id_base] == stale[ids[p] - id_base]) kept.emplace_back(keys[p], ids[p]);
  }
  std::size_t a = 0, b = 0;
  while (a < changed.size() || b < kept.size()) {
    const bool take_changed = a < changed.size() && (b == kept.size() || changed[a].first <= kept[b].first);
    out.push_back(take_changed ? changed[a++] : kept[b++]);
  }
  for (std::size_t p = 0; p < out.size(); ++p) std::tie(keys[p], ids[p]) = out[p];
}

struct RandomCase {
  std::int64_t b;
  std::size_t k, l;
  bool offsets;
};

class RandomUpdates : public ::testing::TestWithParam<RandomCase> {};

// Points in a few clusters of exact duplicates plus scattered ones, moved by
// small steps so that in every table some keys change and some do not.
TEST_P(RandomUpdates, MatchTheListAlgorithmAndKeepTheInvariants) {
  const RandomCase& c = GetParam();
  const std::size_t d = 3, n = 700, n_static = 200, n_cand = n - n_static;
  Index ix = index::testing::random_index(c.b, c.k, c.l, d, 21);
  Buffer<double> points = index::testing::random_points(n, d, 22);
  for (std::size_t i = n_static + 1; i < n; i += 3) std::copy_n(&points[(i - 1) * d], d, &points[i * d]);
  index::build(ix, Buffer<double>(points), n, d, n_static);
  ASSERT_EQ(index::offsets_enabled(ix, n_cand), c.offsets);

  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> step(-0.03, 0.03);
  Buffer<double> coords(points.begin() + n_static * d, points.end());
  for (int epoch = 0; epoch < 6; ++epoch) {
    if (epoch != 3) {  // epoch 3 passes the stored coordinates again
      for (auto& x : coords) x = std::fmod(x + step(rng) + 1.0, 1.0);
    }
    if (epoch == 4) coords[5] = -0.25;  // off the torus for one epoch
    std::vector<std::int64_t> want_keys = values(ix.cand_sorted_keys);
    std::vector<std::int64_t> want_ids = values(ix.cand_sorted_ids);
    const auto fresh = index::compute_keys(ix, coords.data(), d, 0, n_cand);
    std::size_t changed_tables = 0;
    for (std::size_t t = 0; t < c.l; ++t) {
      std::vector<std::int64_t> run_keys(want_keys.begin() + t * n_cand, want_keys.begin() + (t + 1) * n_cand);
      std::vector<std::int64_t> run_ids(want_ids.begin() + t * n_cand, want_ids.begin() + (t + 1) * n_cand);
      refresh_oracle(run_keys, run_ids, fresh.data() + t * n_cand, ix.cand_keys.data() + t * n_cand, n_static);
      changed_tables += run_ids != std::vector<std::int64_t>(want_ids.begin() + t * n_cand,
                                                              want_ids.begin() + (t + 1) * n_cand);
      std::copy(run_keys.begin(), run_keys.end(), want_keys.begin() + t * n_cand);
      std::copy(run_ids.begin(), run_ids.end(), want_ids.begin() + t * n_cand);
    }
    EXPECT_EQ(changed_tables, epoch == 3 ? 0u : c.l) << "the moves should change every table but the replay";

    const std::int64_t* runs_before = ix.cand_sorted_keys.data();
    update(ix, coords);
    EXPECT_EQ(ix.cand_sorted_keys.data(), runs_before) << "runs are refreshed in place";
    EXPECT_EQ(values(ix.cand_sorted_keys), want_keys);
    EXPECT_EQ(values(ix.cand_sorted_ids), want_ids);
    EXPECT_EQ(values(ix.cand_keys), values(fresh));
    std::vector<std::uint8_t> want_codes(ix.points_f32.size());
    EXPECT_EQ(index::encode_points(ix.points_f32.data(), want_codes.size(), want_codes.data()), epoch == 4 ? 1u : 0u);
    EXPECT_EQ(values(ix.codes), want_codes);
    EXPECT_EQ(values(ix.static_codes), index::testing::key_ordered_oracle(ix)) << "static codes stay in step";
    EXPECT_EQ(ix.off_torus_cand, epoch == 4 ? 1u : 0u);
    EXPECT_EQ(values(ix.cand_offsets), values(index::build_offsets(ix, ix.cand_sorted_keys.data(), n_cand)));
    for (std::size_t t = 0; t < c.l; ++t) {
      for (std::size_t p = 0; p < n_cand; ++p) {
        const std::int64_t id = ix.cand_sorted_ids[t * n_cand + p];
        ASSERT_EQ(ix.cand_sorted_keys[t * n_cand + p], fresh[t * n_cand + (id - n_static)]);
      }
    }
  }
  EXPECT_EQ(std::vector<double>(ix.points.begin() + n_static * d, ix.points.end()), values(coords));
  EXPECT_EQ(std::vector<double>(ix.points.begin(), ix.points.begin() + n_static * d),
            std::vector<double>(points.begin(), points.begin() + n_static * d));
}

INSTANTIATE_TEST_SUITE_P(Params, RandomUpdates,
                         ::testing::Values(RandomCase{4, 3, 4, true}, RandomCase{2, 2, 3, true},
                                           RandomCase{4, 13, 2, false}));

class WrongLength : public ::testing::TestWithParam<int> {};

TEST_P(WrongLength, IsAnInternalErrorAndChangesNothing) {
  Index ix = index::testing::random_index(4, 3, 2, 3, 51);
  index::build(ix, index::testing::random_points(40, 3, 52), 40, 3, 15);
  update(ix, index::testing::random_points(25, 3, 53));
  const Snapshot before(ix);
  const Buffer<double> coords = index::testing::random_points(1, 75 + GetParam(), 54);
  EXPECT_THROW(update(ix, coords), InternalError);
  EXPECT_EQ(Snapshot(ix), before);
}

INSTANTIATE_TEST_SUITE_P(OffByOne, WrongLength, ::testing::Values(-1, 1, -75));

TEST(Update, EmptyCandidateTier) {
  Index never_built = index::testing::random_index(4, 3, 2, 3, 61);
  update(never_built, Buffer<double>());
  EXPECT_EQ(never_built.n_points, 0u);
  EXPECT_THROW(update(never_built, Buffer<double>(1)), InternalError);

  Index ix = index::testing::random_index(4, 3, 2, 3, 62);
  index::build(ix, index::testing::random_points(30, 3, 63), 30, 3, 30);
  const Snapshot before(ix);
  update(ix, Buffer<double>());
  EXPECT_EQ(Snapshot(ix), before);
}

}  // namespace
}  // namespace vb::maintenance
