#include "index/build.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/errors.h"

#include "test_index.h"

namespace vb::index {
namespace {

TEST(Build, SixtyTwoBinaryDigitsStillFitAKey) {
  // Refusals and their messages are pinned through the module; this is the edge.
  Index just_fits(2, 62, 1, 0, std::vector<std::int64_t>(62), std::vector<double>(62), 0);
  build(just_fits, testing::random_points(5, 3, 1), 5, 3, 0);
  EXPECT_EQ(just_fits.cand_keys.size(), 5u);
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

// Queries take their kernels from the index: a build installs those of its
// dimension (the fixed-width ones included), and the table of the old
// dimension stays when a build is refused.
TEST(Build, InstallsTheKernelsOfItsDimension) {
  Index index = testing::random_index(4, 4, 2, 3, 13);
  build(index, testing::random_points(40, 3, 14), 40, 3, 20);
  EXPECT_EQ(index.kernels.tile, kernels::tile_kernel(kernels::cpu_level(), 3, Metric::kL1, false));
  EXPECT_THROW(build(index, testing::random_points(40, 16, 15), 40, 16, 41), ArgumentError);
  EXPECT_EQ(index.kernels.tile, kernels::tile_kernel(kernels::cpu_level(), 3, Metric::kL1, false));
  build(index, testing::random_points(40, 16, 15), 40, 16, 20);
  EXPECT_EQ(index.kernels.tile, kernels::tile_kernel(kernels::cpu_level(), 16, Metric::kL1, false));
  EXPECT_EQ(index.kernels.pack, kernels::tile_pack(kernels::cpu_level(), 16));
}

}  // namespace
}  // namespace vb::index
