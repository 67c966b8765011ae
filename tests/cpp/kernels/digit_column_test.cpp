#include "kernels/digit_column.h"

#include <gtest/gtest.h>

#include <vector>

#include "kernels_test_inputs.h"


namespace vb::kernels {
namespace {

struct KernelCase {
  std::int64_t b;
  double shift;
  std::int64_t weight;
};

class DigitKernels : public ::testing::TestWithParam<KernelCase> {};

TEST_P(DigitKernels, EveryLevelMatchesTheScalarKernelBitForBit) {
  const KernelCase c = GetParam();
  const DigitColumn digit{c.shift, static_cast<double>(c.b), c.b - 1, c.weight};
  const auto column = awkward_column(1037, static_cast<std::uint64_t>(c.b) * 31 + 7);
  std::vector<std::int64_t> expected(column.size(), 12345);
  digit_column_scalar(column.data(), column.size(), digit, expected.data());
  for (CpuLevel level : levels_of_this_cpu()) {
    if (level == CpuLevel::kAvx2 && c.b >= (std::int64_t{1} << 31)) continue;
    std::vector<std::int64_t> keys(column.size(), 12345);
    digit_column_kernel(level)(column.data(), column.size(), digit, keys.data());
    EXPECT_EQ(keys, expected) << cpu_level_name(level);
  }
}

INSTANTIATE_TEST_SUITE_P(Radixes, DigitKernels,
                         ::testing::Values(KernelCase{4, 0.0, 1}, KernelCase{4, 0.37, 4096}, KernelCase{2, 0.5, 1},
                                           KernelCase{1, 0.1, 7}, KernelCase{7, 0.999, 343},
                                           KernelCase{1000003, 0.25, (std::int64_t{1} << 40) + 3},
                                           KernelCase{(std::int64_t{1} << 31) - 1, 0.5, -3},
                                           KernelCase{(std::int64_t{1} << 40), 0.125, 1 << 20},
                                           KernelCase{INT64_MAX, 0.0, 1}));

}  // namespace
}  // namespace vb::kernels
