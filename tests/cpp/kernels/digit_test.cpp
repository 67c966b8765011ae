#include "kernels/digit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vb::kernels {
namespace {

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

}  // namespace
}  // namespace vb::kernels
