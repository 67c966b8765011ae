#include "kernels/nearest_digit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kernels_test_inputs.h"

namespace vb::kernels {
namespace {

// The choice from its definition: the lowest digit of smallest margin among
// those below 2.0, by an explicit search for the minimum first.
std::int64_t defined_choice(const std::vector<double>& margin, std::size_t stride, std::size_t k, std::size_t i) {
  double least = 2.0;
  for (std::size_t j = 0; j < k; ++j) {
    const double m = margin[j * stride + i];
    if (!std::isnan(m) && m < least) least = m;
  }
  for (std::size_t j = 0; j < k && least < 2.0; ++j) {
    if (margin[j * stride + i] == least) return static_cast<std::int64_t>(j);
  }
  return 0;
}

// Every level chooses the digit of the definition for every row: random
// margins in [0, 0.5] mixed with zeros, halves, ties between digits (few
// distinct values), NaN (rows all NaN among them) and digits already probed
// (2.0, which is never below the start); one digit or many; stretches of
// lengths that fill no vector, read from a wider stride.
TEST(NearestDigit, EveryLevelChoosesTheLowestDigitOfTheSmallestMargin) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double picks[] = {0.0, 0.5, 0.25, nan, 2.0, std::nextafter(0.5, 0.0), -nan};
  for (const std::size_t k : {1, 2, 5, 9, 17}) {
    for (const std::size_t count : {1, 3, 4, 7, 8, 13, 250, 256}) {
      const std::size_t stride = count + (count % 3);
      std::mt19937_64 rng(31 * k + count);
      std::uniform_real_distribution<double> half(0.0, 0.5);
      std::vector<double> margin(k * stride, 0.125);
      for (std::size_t i = 0; i < count; ++i) {
        const unsigned kind = static_cast<unsigned>(rng() % 5);
        for (std::size_t j = 0; j < k; ++j) {
          double m = half(rng);
          if (kind == 1 || (kind == 2 && rng() % 2 == 0)) m = picks[rng() % std::size(picks)];
          if (kind == 3) m = static_cast<double>(rng() % 3) / 8.0;  // ties
          if (kind == 4 && i % 2 == 0) m = nan;
          margin[j * stride + i] = m;
        }
      }
      for (const CpuLevel level : levels_of_this_cpu()) {
        std::vector<std::int64_t> chosen(count + 1, -7);
        nearest_digit_kernel(level)(margin.data(), stride, k, count, chosen.data());
        for (std::size_t i = 0; i < count; ++i) {
          ASSERT_EQ(chosen[i], defined_choice(margin, stride, k, i))
              << cpu_level_name(level) << " k " << k << " count " << count << " row " << i;
        }
        EXPECT_EQ(chosen[count], -7) << cpu_level_name(level) << ": wrote past the stretch";
      }
    }
  }
}

}  // namespace
}  // namespace vb::kernels
