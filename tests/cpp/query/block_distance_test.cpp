#include "query/block_distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

namespace vb::query {
namespace {

// The distance summed in the documented order, written out independently of
// every kernel.
float reference(const float* q, const float* x, std::size_t d) {
  float s[8] = {};
  for (std::size_t c = 0; c < d; ++c) {
    const float a = std::fabs(q[c] - x[c]);
    s[c % 8] += std::min(a, 1.0f - a);
  }
  return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

std::vector<BlockLevel> levels() {
  std::vector<BlockLevel> out;
  for (BlockLevel level : {BlockLevel::kPortable, BlockLevel::kAvx2, BlockLevel::kAvx512}) {
    if (level <= supported_block_level()) out.push_back(level);
  }
  return out;
}

void expect_reference(const std::vector<float>& q, const std::vector<float>& tile, std::size_t d, std::size_t count) {
  for (BlockLevel level : levels()) {
    // Room past the end catches a kernel that writes beyond count.
    std::vector<float> out(count + 4, -7.0f);
    tile_distance(level, d)(q.data(), tile.data(), d, count, out.data());
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i]), std::bit_cast<std::uint32_t>(reference(q.data(), &tile[i * d], d)))
          << block_level_name(level) << " d=" << d << " count=" << count << " candidate " << i;
    }
    for (std::size_t i = count; i < out.size(); ++i) ASSERT_EQ(out[i], -7.0f) << block_level_name(level);
  }
}

class TileKernels : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

// Every level, fixed-dimension and general kernels, full steps of four and
// remainders: bit for bit the reference on random coordinates.
TEST_P(TileKernels, MatchTheReferenceOnRandomRows) {
  const auto [d, count] = GetParam();
  std::mt19937_64 rng(d * 1000 + count);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> q(d), tile(count * d);
  for (auto& v : q) v = unit(rng);
  for (auto& v : tile) v = unit(rng);
  expect_reference(q, tile, d, count);
}

INSTANTIATE_TEST_SUITE_P(BlockDistance, TileKernels,
                         ::testing::Combine(::testing::Values(1, 3, 7, 8, 9, 15, 16, 17, 24, 25, 31, 40),
                                            ::testing::Values(1, 3, 4, 7, 128)));

class TileKernelEdges : public ::testing::TestWithParam<std::size_t> {};

// Coordinates on the seams of the torus: 0, the float just below 1, pairs
// exactly 0.5 apart (the farthest a coordinate can be), and pairs across the
// wrap (0.05 against 0.95 is about 0.1).
TEST_P(TileKernelEdges, MatchTheReferenceOnTheSeams) {
  const std::size_t d = GetParam();
  const float below_one = std::nextafter(1.0f, 0.0f);
  const std::vector<float> values = {0.0f, below_one, 0.5f, 0.25f, 0.75f, 0.05f, 0.95f};
  std::mt19937_64 rng(d);
  const std::size_t count = 61;
  std::vector<float> q(d), tile(count * d);
  for (auto& v : q) v = values[rng() % values.size()];
  for (auto& v : tile) v = values[rng() % values.size()];
  expect_reference(q, tile, d, count);

  // Half a turn in every coordinate: exactly 0.5 per coordinate.
  std::vector<float> zeros(d, 0.0f), halves(4 * d, 0.5f);
  for (BlockLevel level : levels()) {
    std::vector<float> out(4);
    tile_distance(level, d)(zeros.data(), halves.data(), d, 4, out.data());
    for (float v : out) EXPECT_EQ(v, 0.5f * static_cast<float>(d)) << block_level_name(level);
    tile_distance(level, d)(zeros.data(), zeros.data(), d, 1, out.data());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(out[0]), 0u) << "+0, never -0";
  }
}

INSTANTIATE_TEST_SUITE_P(BlockDistance, TileKernelEdges, ::testing::Values(1, 5, 8, 16, 24, 33));

TEST(BlockDistance, TheCapLimitsTheLevelInUse) {
  cap_block_level(BlockLevel::kPortable);
  EXPECT_EQ(block_level(), BlockLevel::kPortable);
  cap_block_level(BlockLevel::kAvx512);
  EXPECT_EQ(block_level(), supported_block_level());
}

}  // namespace
}  // namespace vb::query
