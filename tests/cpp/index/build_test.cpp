#include "index/build.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "index/hash_keys.h"
#include "test_index.h"

namespace vb::index {
namespace {

TEST(Build, SixtyTwoBinaryDigitsStillFitAKey) {
  // Refusals and their messages are pinned through the module; this is the edge.
  Index just_fits(2, 62, 1, 0, std::vector<std::int64_t>(62), std::vector<double>(62), 0);
  build(just_fits, testing::random_points(5, 3, 1), 5, 3, 0);
  EXPECT_EQ(just_fits.cand_keys.size(), 5u);
}

TEST(Build, TiersHoldTheirPointsInKeyOrder) {
  const std::size_t n = 3000, d = 4, n_static = 1000;
  Index index = testing::random_index(3, 5, 3, d, 9);
  build(index, testing::random_points(n, d, 10), n, d, n_static);
  EXPECT_TRUE(index.built);
  ASSERT_EQ(index.points_f32.size(), n * d);
  EXPECT_EQ(index.points_f32[123], static_cast<float>(index.points[123]));
  const auto all_keys = compute_keys(index, 0, n);
  for (std::size_t t = 0; t < index.l; ++t) {
    for (std::size_t p = 0; p < n_static; ++p) {
      const std::int64_t id = index.static_ids[t * n_static + p];
      EXPECT_EQ(index.static_keys[t * n_static + p], all_keys[t * n + id]);
      if (p > 0) {
        const std::int64_t prev_key = index.static_keys[t * n_static + p - 1];
        const std::int64_t prev_id = index.static_ids[t * n_static + p - 1];
        EXPECT_TRUE(prev_key < index.static_keys[t * n_static + p] ||
                    (prev_key == index.static_keys[t * n_static + p] && prev_id < id));
      }
    }
    const std::size_t n_cand = n - n_static;
    for (std::size_t j = 0; j < n_cand; ++j) EXPECT_EQ(index.cand_keys[t * n_cand + j], all_keys[t * n + n_static + j]);
    for (std::size_t p = 0; p < n_cand; ++p) {
      const std::int64_t id = index.cand_sorted_ids[t * n_cand + p];
      ASSERT_GE(id, static_cast<std::int64_t>(n_static));
      EXPECT_EQ(index.cand_sorted_keys[t * n_cand + p], all_keys[t * n + id]);
    }
  }
}

TEST(Build, OneTierMayBeEmpty) {
  Index index = testing::random_index(4, 4, 2, 3, 11);
  build(index, testing::random_points(50, 3, 12), 50, 3, 50);
  EXPECT_TRUE(index.cand_keys.empty());
  EXPECT_TRUE(index.cand_sorted_ids.empty());
  EXPECT_TRUE(index.cand_offsets.empty());
  EXPECT_EQ(index.static_ids.size(), 100u);

  build(index, testing::random_points(50, 3, 12), 50, 3, 0);
  EXPECT_TRUE(index.static_keys.empty());
  EXPECT_TRUE(index.static_offsets.empty());
  EXPECT_EQ(index.cand_sorted_ids.size(), 100u);
}

}  // namespace
}  // namespace vb::index
