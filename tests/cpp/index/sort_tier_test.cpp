#include "index/sort_tier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "index/bucket_offsets.h"
#include "index/errors.h"
#include "index/hash_keys.h"
#include "pool/pool.h"
#include "test_index.h"

namespace vb::index {
namespace {

// b = 8, k = 1: eight buckets, offsets on. b = 2^20, k = 3: 2^60 buckets, offsets off.
Index small_buckets() { return Index(8, 1, 1, 0, {0}, {0.0}, 1024); }
Index huge_buckets() { return Index(1 << 20, 3, 1, 0, {0, 0, 0}, {0.0, 0.0, 0.0}, 1024); }

class SortTierBothWays : public ::testing::TestWithParam<bool> {
 protected:
  Index make() const { return GetParam() ? small_buckets() : huge_buckets(); }
};

TEST_P(SortTierBothWays, EqualKeysKeepAscendingIds) {
  Index index = make();
  const std::int64_t keys[] = {5, 3, 5};
  SortedTier tier = sort_tier(index, keys, 3, 10);
  EXPECT_EQ(std::vector<std::int64_t>(tier.keys.begin(), tier.keys.end()), (std::vector<std::int64_t>{3, 5, 5}));
  EXPECT_EQ(std::vector<std::int64_t>(tier.ids.begin(), tier.ids.end()), (std::vector<std::int64_t>{11, 10, 12}));
  EXPECT_EQ(tier.offsets.empty(), !GetParam());
}

TEST_P(SortTierBothWays, EmptyTier) {
  Index index = make();
  SortedTier tier = sort_tier(index, nullptr, 0, 0);
  EXPECT_TRUE(tier.keys.empty());
  EXPECT_TRUE(tier.ids.empty());
  EXPECT_TRUE(tier.offsets.empty());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutOffsets, SortTierBothWays, ::testing::Bool());

TEST(SortTier, CountingSortEqualsComparisonSortAndItsOffsetsEqualBuildOffsets) {
  // Same first 4 tables; with 40 tables of 4^9 buckets the offsets exceed 64 MiB.
  const std::size_t n = 20000, d = 5;
  Index wide = testing::random_index(4, 9, 40, d, 3);
  Index narrow(4, 9, 4, 0, std::vector<std::int64_t>(wide.s.begin(), wide.s.begin() + 36),
               std::vector<double>(wide.u.begin(), wide.u.begin() + 36), 1024);
  ASSERT_FALSE(offsets_enabled(wide, n));
  ASSERT_TRUE(offsets_enabled(narrow, n));
  auto points = testing::random_points(n, d, 4);
  // Many duplicates: every point appears three times.
  for (std::size_t i = n / 3; i < n; ++i)
    for (std::size_t c = 0; c < d; ++c) points[i * d + c] = points[(i % (n / 3)) * d + c];

  auto wide_keys = compute_keys(wide, points.data(), d, 0, n);
  auto narrow_keys = compute_keys(narrow, points.data(), d, 0, n);
  SortedTier by_comparison = sort_tier(wide, wide_keys.data(), n, 7);
  SortedTier by_counting = sort_tier(narrow, narrow_keys.data(), n, 7);
  ASSERT_TRUE(by_comparison.offsets.empty());
  ASSERT_EQ(by_counting.keys.size(), 4 * n);
  EXPECT_TRUE(std::equal(by_counting.keys.begin(), by_counting.keys.end(), by_comparison.keys.begin()));
  EXPECT_TRUE(std::equal(by_counting.ids.begin(), by_counting.ids.end(), by_comparison.ids.begin()));
  EXPECT_EQ(by_counting.offsets, build_offsets(narrow, by_counting.keys.data(), n));

  SortedTier serial;
  {
    pool::ScopedSerial one_thread;
    serial = sort_tier(narrow, narrow_keys.data(), n, 7);
  }
  EXPECT_EQ(serial.keys, by_counting.keys);
  EXPECT_EQ(serial.ids, by_counting.ids);
  EXPECT_EQ(serial.offsets, by_counting.offsets);
}

TEST(SortTier, KeyOutsideTheBucketsIsAnInternalError) {
  Index index = small_buckets();
  const std::int64_t keys[] = {1, 8};
  EXPECT_THROW(sort_tier(index, keys, 2, 0), InternalError);
}

}  // namespace
}  // namespace vb::index
