#include "index/sort_tier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/errors.h"
#include "index/bucket_offsets.h"
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
  const SortedTier empty = sort_tier(index, nullptr, 0, 0);
  EXPECT_TRUE(empty.keys.empty() && empty.ids.empty() && empty.offsets.empty());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutOffsets, SortTierBothWays, ::testing::Bool());

struct Radix {
  std::int64_t b;
  std::size_t k;
};

class BucketSort : public ::testing::TestWithParam<Radix> {};

// The bucket sorts (one pass for few buckets, two passes for many) against
// std::sort of the (key, id) pairs, and their offsets against build_offsets.
TEST_P(BucketSort, EqualsComparisonSortAndItsOffsetsEqualBuildOffsets) {
  const std::size_t n = 20000, d = 5;
  Index index = testing::random_index(GetParam().b, GetParam().k, 4, d, 3);
  ASSERT_TRUE(offsets_enabled(index, n));
  auto points = testing::random_points(n, d, 4);
  // Many duplicates: every point appears three times.
  for (std::size_t i = n / 3; i < n; ++i)
    for (std::size_t c = 0; c < d; ++c) points[i * d + c] = points[(i % (n / 3)) * d + c];
  auto keys = compute_keys(index, points.data(), d, 0, n);
  SortedTier tier = sort_tier(index, keys.data(), n, 7);

  for (std::size_t t = 0; t < index.l; ++t) {
    std::vector<std::pair<std::int64_t, std::int64_t>> expected(n);
    for (std::size_t i = 0; i < n; ++i) expected[i] = {keys[t * n + i], 7 + static_cast<std::int64_t>(i)};
    std::sort(expected.begin(), expected.end());
    for (std::size_t p = 0; p < n; ++p) {
      ASSERT_EQ(tier.keys[t * n + p], expected[p].first) << t << " " << p;
      ASSERT_EQ(tier.ids[t * n + p], expected[p].second) << t << " " << p;
    }
  }
  EXPECT_EQ(tier.offsets, build_offsets(index, tier.keys.data(), n));

  SortedTier serial;
  {
    pool::ScopedSerial one_thread;
    serial = sort_tier(index, keys.data(), n, 7);
  }
  EXPECT_EQ(serial.keys, tier.keys);
  EXPECT_EQ(serial.ids, tier.ids);
  EXPECT_EQ(serial.offsets, tier.offsets);
}

INSTANTIATE_TEST_SUITE_P(FewAndManyBuckets, BucketSort,
                         ::testing::Values(Radix{2, 3}, Radix{4, 7}, Radix{4, 9}, Radix{3, 11}, Radix{7, 6},
                                           Radix{2, 20}, Radix{1, 4}));

TEST(SortTier, KeyOutsideTheBucketsIsAnInternalError) {
  Index index = small_buckets();
  const std::int64_t keys[] = {1, 8};
  EXPECT_THROW(sort_tier(index, keys, 2, 0), InternalError);
}

}  // namespace
}  // namespace vb::index
