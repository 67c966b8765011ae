#include "index/bucket_offsets.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/errors.h"

namespace vb::index {
namespace {

Index four_buckets() { return Index(4, 1, 1, 0, {0}, {0.0}, 1024); }

// Gives a four-bucket index the static run [0, 0, 2, 3, 3], with or without offsets.
void fill_static_run(Index& index, bool offsets) {
  index.static_keys = {0, 0, 2, 3, 3};
  index.static_ids = {0, 1, 2, 3, 4};
  index.n_points = index.n_static = 5;
  index.d = 1;
  if (offsets) index.static_offsets = build_offsets(index, index.static_keys.data(), 5);
}

TEST(BucketOffsets, CountKeysBelowEachValue) {
  Index index = four_buckets();
  fill_static_run(index, true);
  EXPECT_EQ(std::vector<std::uint32_t>(index.static_offsets.begin(), index.static_offsets.end()),
            (std::vector<std::uint32_t>{0, 2, 2, 3, 5}));
}

TEST(BucketOffsets, SizeTest) {
  // (b^k + 1) * l * 8 bytes must stay within 64 MiB.
  EXPECT_TRUE(offsets_enabled(Index(4, 9, 8, 0, std::vector<std::int64_t>(72), std::vector<double>(72), 0), 10));
  EXPECT_FALSE(offsets_enabled(Index(4, 10, 8, 0, std::vector<std::int64_t>(80), std::vector<double>(80), 0), 10));
  EXPECT_FALSE(offsets_enabled(Index(4, 1, 1, 0, {0}, {0.0}, 0), 1ull << 33));  // positions beyond 32 bits
  EXPECT_TRUE(build_offsets(four_buckets(), nullptr, 0).empty());
}

TEST(BucketOffsets, BucketCountSaturates) {
  EXPECT_EQ(bucket_count(Index(3, 4, 1, 0, {0, 0, 0, 0}, {0, 0, 0, 0}, 0)), 81);
  EXPECT_EQ(bucket_count(Index(1 << 30, 3, 1, 0, {0, 0, 0}, {0, 0, 0}, 0)), INT64_MAX);
}

class RangeLookup : public ::testing::TestWithParam<bool> {};

TEST_P(RangeLookup, FindsExactlyTheKeysOfTheInterval) {
  Index index = four_buckets();
  fill_static_run(index, GetParam());
  using Range = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(static_range(index, 0, 1, 1), (Range{2, 2}));
  EXPECT_EQ(static_range(index, 0, 0, 4), (Range{0, 5}));
  EXPECT_EQ(static_range(index, 0, 3, 1), (Range{3, 5}));
  EXPECT_EQ(static_range(index, 0, 0, 1), (Range{0, 2}));
  EXPECT_EQ(static_range(index, 0, 2, 2), (Range{2, 5}));
  EXPECT_EQ(cand_range(index, 0, 0, 4), (Range{0, 0}));  // empty candidate tier
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutOffsets, RangeLookup, ::testing::Bool());

TEST(RangeLookup, KeyOutsideTheOffsetsIsAnInternalError) {
  Index index = four_buckets();
  fill_static_run(index, true);
  EXPECT_THROW(static_range(index, 0, 4, 1), InternalError);
  EXPECT_THROW(static_range(index, 0, -1, 1), InternalError);
}

TEST(RangeLookup, WithoutOffsetsAnyKeyIsSafe) {
  Index index = four_buckets();
  fill_static_run(index, false);
  using Range = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(static_range(index, 0, -5, 1), (Range{0, 0}));
  EXPECT_EQ(static_range(index, 0, 100, 1), (Range{5, 5}));
  EXPECT_EQ(static_range(index, 0, INT64_MAX, 1), (Range{5, 5}));  // the end wraps below the start
}

}  // namespace
}  // namespace vb::index
