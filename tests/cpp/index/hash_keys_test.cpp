#include "index/hash_keys.h"

#include <gtest/gtest.h>

#include "../kernels/kernels_test_inputs.h"
#include "kernels/cpu_level.h"
#include "test_index.h"

namespace vb::index {
namespace {

// The keys are the same bits whatever level the index's kernels were chosen at.
TEST(HashLevels, ComputeKeysAgreesAtEveryLevel) {
  const std::size_t n = 3001, d = 6;
  Index index = testing::random_index(5, 9, 7, d, 21);
  auto points = testing::random_points(n, d, 22);
  const auto awkward = kernels::awkward_column(n * d, 23);
  for (std::size_t i = 0; i < points.size(); i += 3) points[i] = awkward[i];
  kernels::cap_cpu_level(kernels::CpuLevel::kPortable);
  choose_kernels(index);
  const auto expected = compute_keys(index, points.data(), d, 0, n);
  for (kernels::CpuLevel level : kernels::levels_of_this_cpu()) {
    kernels::cap_cpu_level(level);
    choose_kernels(index);
    EXPECT_EQ(compute_keys(index, points.data(), d, 0, n), expected) << kernels::cpu_level_name(level);
  }
  kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
}

}  // namespace
}  // namespace vb::index
