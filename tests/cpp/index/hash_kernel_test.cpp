#include "index/hash_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "index/hash_keys.h"
#include "test_index.h"

namespace vb::index {
namespace {

std::vector<CpuLevel> levels_of_this_cpu() {
  std::vector<CpuLevel> levels{CpuLevel::kPortable};
  if (supported_cpu_level() >= CpuLevel::kAvx2) levels.push_back(CpuLevel::kAvx2);
  if (supported_cpu_level() >= CpuLevel::kAvx512) levels.push_back(CpuLevel::kAvx512);
  return levels;
}

// Coordinates on every edge the digit formula has: signed zeros, just below
// and exactly at whole turns, tiny negatives, huge values, infinities and NaN.
std::vector<double> awkward_column(std::size_t n, std::uint64_t seed) {
  const double edges[] = {0.0, -0.0, 1.0, std::nextafter(1.0, 0.0), -1e-20, -1e-300, 1e-300, 0.5, 0.25, 0.75,
                          -0.25, 3.5, -7.75, 1e15 + 0.5, 4503599627370497.0, 1e300, -1e300,
                          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> column(n);
  for (auto& v : column) v = (rng() % 3 == 0) ? edges[rng() % std::size(edges)] : unit(rng);
  return column;
}

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
    EXPECT_EQ(keys, expected) << "level " << static_cast<int>(level);
  }
}

INSTANTIATE_TEST_SUITE_P(Radixes, DigitKernels,
                         ::testing::Values(KernelCase{4, 0.0, 1}, KernelCase{4, 0.37, 4096}, KernelCase{2, 0.5, 1},
                                           KernelCase{1, 0.1, 7}, KernelCase{7, 0.999, 343},
                                           KernelCase{1000003, 0.25, (std::int64_t{1} << 40) + 3},
                                           KernelCase{(std::int64_t{1} << 31) - 1, 0.5, -3},
                                           KernelCase{(std::int64_t{1} << 40), 0.125, 1 << 20},
                                           KernelCase{INT64_MAX, 0.0, 1}));

TEST(HashLevels, ComputeKeysAgreesAtEveryLevel) {
  const std::size_t n = 3001, d = 6;
  Index index = testing::random_index(5, 9, 7, d, 21);
  auto points = testing::random_points(n, d, 22);
  const auto awkward = awkward_column(n * d, 23);
  for (std::size_t i = 0; i < points.size(); i += 3) points[i] = awkward[i];
  cap_cpu_level(CpuLevel::kPortable);
  const auto expected = compute_keys(index, points.data(), d, 0, n);
  for (CpuLevel level : levels_of_this_cpu()) {
    cap_cpu_level(level);
    EXPECT_EQ(compute_keys(index, points.data(), d, 0, n), expected) << static_cast<int>(level);
  }
  cap_cpu_level(CpuLevel::kAvx512);
}

}  // namespace
}  // namespace vb::index
