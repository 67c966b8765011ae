#include "kernels/row_distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

namespace vb::kernels {
namespace {

// The sum of the terms in the documented order, written out independently of
// the kernels: each unit-torus term times its period (when scaled), squared
// for L2.
float by_the_order(const float* q, const float* x, std::size_t n, Metric metric, const float* scale) {
  float s[8] = {};
  for (std::size_t c = 0; c < n; ++c) {
    const float a = std::fabs(q[c] - x[c]);
    float t = std::min(a, 1.0f - a);
    if (scale != nullptr) t = t * scale[c];
    s[c % 8] += metric == Metric::kL2 ? t * t : t;
  }
  return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

std::vector<const DistanceKernel*> kernels(Metric metric = Metric::kL1, bool scaled = false) {
  return {&scalar_distance_kernel(metric, scaled), &distance_kernel(CpuLevel::kPortable, metric, scaled)};
}

// Every width from 1 to 33 (around the vector widths and the eight partial
// sums), and two long rows.
std::vector<std::size_t> widths() {
  std::vector<std::size_t> out;
  for (std::size_t d = 1; d <= 33; ++d) out.push_back(d);
  out.insert(out.end(), {40, 100});
  return out;
}

class Kernels : public ::testing::TestWithParam<std::tuple<std::size_t, Metric, bool>> {};

// Every kernel of every form, for one row and for a scattered list, matches
// the documented summation order bit for bit, at every length (fixed-size
// paths and tails). Periods are not powers of two, so scaling rounds.
TEST_P(Kernels, AgreeBitForBitWithTheDocumentedOrder) {
  const auto [d, metric, scaled] = GetParam();
  std::mt19937_64 rng(d);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const std::size_t n_points = 50;
  std::vector<float> points(n_points * d), q(d), periods(d);
  for (auto& v : points) v = unit(rng);
  for (auto& v : q) v = unit(rng);
  for (auto& v : periods) v = 0.3f + 7.0f * unit(rng);
  const float* scale = scaled ? periods.data() : nullptr;
  std::vector<std::uint64_t> ids(37);
  for (auto& id : ids) id = rng() % n_points;
  for (const DistanceKernel* kernel : kernels(metric, scaled)) {
    for (std::size_t n : {d, d / 2}) {
      std::vector<float> out(ids.size());
      kernel->list(q.data(), points.data(), d, n, ids.data(), ids.size(), scale, out.data());
      for (std::size_t i = 0; i < ids.size(); ++i) {
        const float want = by_the_order(q.data(), points.data() + ids[i] * d, n, metric, scale);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i]), std::bit_cast<std::uint32_t>(want))
            << kernel->name << " d=" << d << " n=" << n;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(kernel->row(q.data(), points.data() + ids[i] * d, n, scale)),
                  std::bit_cast<std::uint32_t>(want));
      }
    }
  }
  // The kernel for rows of exactly d coordinates, fixed-size or not.
  const RowDistance whole = row_distance_for(CpuLevel::kPortable, metric, scaled, d);
  for (std::uint64_t id : ids) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(whole(q.data(), points.data() + id * d, d, scale)),
              std::bit_cast<std::uint32_t>(by_the_order(q.data(), points.data() + id * d, d, metric, scale)))
        << "rows of exactly d=" << d;
  }
}

INSTANTIATE_TEST_SUITE_P(Distance, Kernels,
                         ::testing::Combine(::testing::ValuesIn(widths()),
                                            ::testing::Values(Metric::kL1, Metric::kL2), ::testing::Bool()));

TEST(Distance, WrapsRoundTheTorus) {
  for (const DistanceKernel* kernel : kernels()) {
    const float q[] = {0.05f, 0.0f, 0.25f};
    const float x[] = {0.95f, 0.5f, 0.25f};
    // 0.05 to 0.95 is about 0.1 the short way; 0 to 0.5 is exactly 0.5; equal coordinates add 0.
    const float want = std::min(0.95f - 0.05f, 1.0f - (0.95f - 0.05f)) + 0.5f;
    EXPECT_EQ(kernel->row(q, x, 3, nullptr), want) << kernel->name;
    EXPECT_NEAR(kernel->row(q, x, 1, nullptr), 0.1f, 1e-6f);
    EXPECT_EQ(kernel->row(q + 1, x + 1, 1, nullptr), 0.5f);
    EXPECT_EQ(kernel->row(q, x, 0, nullptr), 0.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(kernel->row(q + 2, x + 2, 1, nullptr)), 0u);  // +0, never -0
  }
  // In a (10, 1) box a step of 0.05 along the long axis is 0.5 long, one of
  // 0.5 along the short axis 0.5 too; L2 sums their squares.
  const float period[] = {10.0f, 1.0f};
  const float q[] = {0.0f, 0.0f};
  const float x[] = {0.95f, 0.5f};
  for (const DistanceKernel* kernel : kernels(Metric::kL1, true)) EXPECT_NEAR(kernel->row(q, x, 2, period), 1.0f, 1e-5f);
  for (const DistanceKernel* kernel : kernels(Metric::kL2, true)) EXPECT_NEAR(kernel->row(q, x, 2, period), 0.5f, 1e-5f);
}

}  // namespace
}  // namespace vb::kernels
