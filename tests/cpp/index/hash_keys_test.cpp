#include "index/hash_keys.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "index/digit.h"
#include "pool/pool.h"
#include "test_index.h"

namespace vb::index {
namespace {

Index one_table(std::int64_t b, std::vector<std::int64_t> s, std::vector<double> u) {
  const std::size_t k = s.size();
  return Index(b, k, 1, 0, std::move(s), std::move(u), 1024);
}

std::int64_t key_of(const Index& index, std::vector<double> point) {
  auto keys = compute_keys(index, point.data(), point.size(), 0, 1);
  return keys.at(0);
}

TEST(HashKeys, DigitsAreLeastSignificantFirst) {
  Index index = one_table(4, {0, 1}, {0.0, 0.0});
  EXPECT_EQ(key_of(index, {0.30, 0.80}), 1 + 3 * 4);
}

TEST(HashKeys, ShiftWrapsAroundTheCircle) {
  Index index = one_table(4, {0}, {0.5});
  EXPECT_EQ(key_of(index, {0.75}), 1);
  EXPECT_EQ(key_of(index, {0.25}), 3);
}

TEST(HashKeys, TinyNegativeShiftedValueGetsTheTopBucket) {
  // x = -1e-20: x - floor(x) rounds to exactly 1.0, and 1.0 * b is clamped to b - 1.
  Index index = one_table(4, {0}, {0.0});
  EXPECT_EQ(key_of(index, {-1e-20}), 3);
  EXPECT_EQ(key_of(index, {1.0}), 0);  // exactly 1.0 wraps to 0.0
  EXPECT_EQ(key_of(index, {std::nextafter(1.0, 0.0)}), 3);
}

TEST(HashKeys, NonFiniteCoordinatesGiveDigitZero) {
  Index index = one_table(4, {0, 1}, {0.25, 0.25});
  EXPECT_EQ(key_of(index, {std::numeric_limits<double>::quiet_NaN(), 0.5}), 3 * 4);
  EXPECT_EQ(key_of(index, {std::numeric_limits<double>::infinity(), 0.5}), 3 * 4);
}

TEST(HashKeys, SingleBucketGivesKeyZero) {
  Index index = one_table(1, {0, 0, 0}, {0.1, 0.7, 0.3});
  EXPECT_EQ(key_of(index, {0.9}), 0);
}

TEST(HashKeys, EmptyRangeGivesNoKeys) {
  Index index = testing::random_index(4, 3, 2, 2, 1);
  std::vector<double> none;
  EXPECT_TRUE(compute_keys(index, none.data(), 2, 0, 0).empty());
}

TEST(HashKeys, FloorMatchesTheLibraryEverywhere) {
  const double samples[] = {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 1e-300, -1e-300, 2.5, -2.5,
                            4503599627370495.5, -4503599627370495.5, 4503599627370496.0, 1e300, -1e300,
                            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  for (double x : samples) {
    EXPECT_EQ(std::signbit(floor_exact(x)), std::signbit(std::floor(x))) << x;
    EXPECT_EQ(floor_exact(x), std::floor(x)) << x;
  }
  EXPECT_TRUE(std::isnan(floor_exact(std::numeric_limits<double>::quiet_NaN())));
}

TEST(HashKeys, SaturatingTruncation) {
  EXPECT_EQ(saturating_trunc(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(saturating_trunc(1e300), INT64_MAX);
  EXPECT_EQ(saturating_trunc(-1e300), INT64_MIN);
  EXPECT_EQ(saturating_trunc(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(saturating_trunc(3.99), 3);
  EXPECT_EQ(saturating_trunc(-3.99), -3);
}

TEST(HashKeys, ChunkSizeStaysWithinBounds) {
  EXPECT_EQ(hash_chunk_size(10, 2), 16u);
  EXPECT_EQ(hash_chunk_size(1000, 2), 125u);
  EXPECT_EQ(hash_chunk_size(1000000, 2), 1024u);
  EXPECT_EQ(hash_chunk_size(1000, 0), 250u);
}

TEST(HashKeys, PoolAndSerialRunAgreeAndLayoutIsTableMajor) {
  const std::size_t n = 5000, d = 7;
  Index index = testing::random_index(3, 6, 5, d, 7);
  auto points = testing::random_points(n, d, 8);
  auto parallel = compute_keys(index, points.data(), d, 100, n - 100);
  Buffer<std::int64_t> serial;
  {
    pool::ScopedSerial one_thread;
    serial = compute_keys(index, points.data(), d, 100, n - 100);
  }
  EXPECT_EQ(parallel, serial);
  // Entry t * count + i is point 100 + i in table t, as a one-point hash says.
  for (std::size_t i : {0ul, 17ul, n - 101}) {
    auto one = compute_keys(index, points.data(), d, 100 + i, 1);
    for (std::size_t t = 0; t < index.l; ++t) EXPECT_EQ(parallel[t * (n - 100) + i], one[t]);
  }
}

}  // namespace
}  // namespace vb::index
