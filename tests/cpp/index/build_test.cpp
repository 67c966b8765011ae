#include "index/build.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "index/hash_keys.h"
#include "test_index.h"

namespace vb::index {
namespace {

std::string build_error(Index& index, std::size_t n, std::size_t d, std::size_t n_static) {
  try {
    build(index, testing::random_points(n, d, 1), n, d, n_static);
  } catch (const ArgumentError& e) {
    return e.what();
  }
  return "";
}

TEST(Build, RejectsBrokenPreconditionsAndKeepsTheIndex) {
  Index index = testing::random_index(4, 3, 2, 3, 5);
  build(index, testing::random_points(10, 3, 2), 10, 3, 4);
  const auto keys_before = index.static_keys;

  EXPECT_EQ(build_error(index, 10, 3, 11), "n_static (11) is larger than the number of points (10)");
  EXPECT_EQ(index.n_points, 10u);
  EXPECT_EQ(index.n_static, 4u);
  EXPECT_EQ(index.static_keys, keys_before);

  Index bad_column(4, 2, 1, 0, {0, 3}, {0.0, 0.0}, 0);
  EXPECT_EQ(build_error(bad_column, 5, 3, 0), "s[0, 1] = 3 is not a column of points with 3 columns");
  Index negative_column(4, 1, 1, 0, {-1}, {0.0}, 0);
  EXPECT_EQ(build_error(negative_column, 5, 3, 0), "s[0, 0] = -1 is not a column of points with 3 columns");
  Index no_digits(4, 0, 1, 0, {}, {}, 0);
  EXPECT_EQ(build_error(no_digits, 5, 3, 0), "k must be at least 1");
  Index no_tables(4, 2, 0, 0, {}, {}, 0);
  EXPECT_EQ(build_error(no_tables, 5, 3, 0), "l must be at least 1");
  Index no_buckets(0, 1, 1, 0, {0}, {0.0}, 0);
  EXPECT_EQ(build_error(no_buckets, 5, 3, 0), "b must be at least 1, got 0");
  Index too_wide(1 << 16, 4, 1, 0, {0, 0, 0, 0}, {0, 0, 0, 0}, 0);
  EXPECT_EQ(build_error(too_wide, 5, 3, 0), "b**k = 65536**4 does not fit in a signed 64-bit key");
  Index just_fits(2, 62, 1, 0, std::vector<std::int64_t>(62), std::vector<double>(62), 0);
  EXPECT_EQ(build_error(just_fits, 5, 3, 0), "");
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

TEST(Build, RebuildReplacesEverythingIncludingTheDimension) {
  Index index(4, 2, 1, 0, {0, 0}, {0.1, 0.2}, 0);
  build(index, testing::random_points(20, 3, 1), 20, 3, 10);
  build(index, testing::random_points(7, 1, 2), 7, 1, 2);
  EXPECT_EQ(index.d, 1u);
  EXPECT_EQ(index.n_points, 7u);
  EXPECT_EQ(index.static_keys.size(), 2u);
  EXPECT_EQ(index.cand_keys.size(), 5u);
}

}  // namespace
}  // namespace vb::index
