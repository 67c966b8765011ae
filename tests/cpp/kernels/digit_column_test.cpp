#include "kernels/digit_column.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

// Query rows hashed a digit at a time for their probes: the same keys as
// the points' hashing, and at every level the digits and in-bucket positions
// of the portable kernel, NaN positions included, bit for bit. Positions lie
// in [0, 1] (or are NaN) and digits in 0 .. b - 1.
TEST_P(DigitKernels, QueryDigitsKeepTheKeysOfHashingAndAgreeAtEveryLevel) {
  const KernelCase c = GetParam();
  const DigitColumn digit{c.shift, static_cast<double>(c.b), c.b - 1, c.weight};
  // An odd length leaves a remainder past the vector steps.
  const auto column = awkward_column(1037, static_cast<std::uint64_t>(c.b) * 17 + 3);
  const std::size_t m = column.size();
  std::vector<std::int64_t> hashed(m, -77);
  digit_column_scalar(column.data(), m, digit, hashed.data());
  std::vector<std::int64_t> want_keys(m, -77), want_codes(m);
  std::vector<double> want_frac(m);
  digit_frac_scalar(column.data(), m, digit, want_keys.data(), want_codes.data(), want_frac.data());
  EXPECT_EQ(want_keys, hashed);
  for (std::size_t i = 0; i < m; ++i) {
    EXPECT_TRUE(want_codes[i] >= 0 && want_codes[i] < c.b) << i;
    EXPECT_TRUE(std::isnan(want_frac[i]) || (want_frac[i] >= 0.0 && want_frac[i] <= 1.0)) << i;
  }
  for (CpuLevel level : levels_of_this_cpu()) {
    std::vector<std::int64_t> keys(m, -77), codes(m, -1);
    std::vector<double> frac(m, -1.0);
    digit_frac_kernel(level, c.b)(column.data(), m, digit, keys.data(), codes.data(), frac.data());
    EXPECT_EQ(keys, want_keys) << cpu_level_name(level);
    EXPECT_EQ(codes, want_codes) << cpu_level_name(level);
    EXPECT_EQ(0, std::memcmp(frac.data(), want_frac.data(), m * sizeof(double))) << cpu_level_name(level);
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
