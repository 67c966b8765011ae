#include "exact_scan/tile_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "exact_scan/panels.h"
#include "scan_oracle.h"

namespace vb::exact_scan {
namespace {

using testing::bits_of;
using testing::plain_distance;
using testing::torus_points;

std::vector<ScanLevel> levels_of_this_cpu() {
  std::vector<ScanLevel> levels{ScanLevel::kScalar};
  if (supported_scan_level() >= ScanLevel::kAvx2) levels.push_back(ScanLevel::kAvx2);
  if (supported_scan_level() >= ScanLevel::kAvx512) levels.push_back(ScanLevel::kAvx512);
  return levels;
}

struct KernelOutput {
  std::vector<float> dist;
  std::vector<std::uint16_t> flags;
};

KernelOutput run_kernel(ScanLevel level, const std::vector<float>& queries, std::size_t rows, const Panels& panels,
                        const std::vector<std::uint32_t>& bound) {
  KernelOutput out{std::vector<float>(rows * panels.count() * kPanelWidth, -1.0f),
                   std::vector<std::uint16_t>(rows * panels.count(), 0xabcd)};
  const TileJob job{queries.data(), rows,         panels.dim(),    panels.data(), panels.count(),
                    bound.data(),   out.dist.data(), out.flags.data()};
  tile_kernel(level)(job);
  return out;
}

// Per row: everything admitted, nothing admitted, or about half (the bound is
// the distance of one of the row's points, so ties with the bound occur).
std::vector<std::uint32_t> mixed_bounds(const std::vector<float>& queries, std::size_t rows,
                                        const std::vector<float>& points, std::size_t n, std::size_t d) {
  std::vector<std::uint32_t> bound(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    if (r % 3 == 0) bound[r] = 0xffffffffu;
    if (r % 3 == 1) bound[r] = 0;
    if (r % 3 == 2) bound[r] = bits_of(plain_distance(queries.data() + r * d, points.data() + (r % n) * d, d));
  }
  return bound;
}

// (level, d, rows, points): the fixed dimensions, their neighbours, tiny and
// odd ones; row and point counts off the kernels' block sizes.
using KernelCase = std::tuple<ScanLevel, std::size_t, std::size_t, std::size_t>;

class TileKernelTest : public ::testing::TestWithParam<KernelCase> {};

TEST_P(TileKernelTest, MatchesPlainDistanceBitForBit) {
  const auto [level, d, rows, n] = GetParam();
  const std::vector<float> points = torus_points(n, d, 11 + d);
  const std::vector<float> queries = torus_points(rows, d, 97 + d);
  const Panels panels(points.data(), n, d);
  const std::vector<std::uint32_t> bound = mixed_bounds(queries, rows, points, n, d);
  const KernelOutput out = run_kernel(level, queries, rows, panels, bound);

  const std::size_t row_stride = panels.count() * kPanelWidth;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t i = 0; i < panels.count() * kPanelWidth; ++i) {
      const float got = out.dist[r * row_stride + i];
      const bool admitted = (out.flags[r * panels.count() + i / kPanelWidth] >> (i % kPanelWidth)) & 1u;
      EXPECT_EQ(admitted, bits_of(got) <= bound[r]) << "row " << r << " lane " << i;
      // Padding lanes hold zero coordinates: still a distance, just no point.
      const float zeros[64] = {};
      const float want = plain_distance(queries.data() + r * d, i < n ? points.data() + i * d : zeros, d);
      ASSERT_EQ(bits_of(got), bits_of(want)) << "row " << r << " point " << i << ": " << got << " vs " << want;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, TileKernelTest,
    ::testing::Combine(::testing::ValuesIn(levels_of_this_cpu()),
                       ::testing::Values(std::size_t{0}, 1, 3, 7, 8, 9, 15, 16, 17, 24, 33, 64),
                       ::testing::Values(std::size_t{1}, 5, 8), ::testing::Values(std::size_t{1}, 16, 37, 70)),
    [](const auto& info) {
      return std::string(level_name(std::get<0>(info.param))) + "_d" + std::to_string(std::get<1>(info.param)) +
             "_rows" + std::to_string(std::get<2>(info.param)) + "_n" + std::to_string(std::get<3>(info.param));
    });

class TileKernelLevelTest : public ::testing::TestWithParam<ScanLevel> {};

// The wrap-around edges: a difference of exactly 0.5 counts 0.5, 0.05 against
// 0.95 about 0.1 (not 0.9), 0 against just below 1 the smallest gap.
TEST_P(TileKernelLevelTest, WrapsAroundTheTorus) {
  const float below_one = std::nextafter(1.0f, 0.0f);
  const std::vector<float> points = {0.0f, 0.95f, 0.25f, below_one};
  const std::vector<float> queries = {0.5f, 0.05f, 0.75f, 0.0f};
  // One point per coordinate pattern: a d = 4 point set of one point.
  const Panels panels(points.data(), 1, 4);
  const std::vector<std::uint32_t> bound{0xffffffffu};
  const KernelOutput out = run_kernel(GetParam(), queries, 1, panels, bound);
  const float gap = 1.0f - below_one;
  const float near = 1.0f - std::fabs(0.05f - 0.95f);
  const float want = ((0.5f + near) + 0.5f) + gap;
  EXPECT_EQ(bits_of(out.dist[0]), bits_of(want));
  EXPECT_NEAR(out.dist[0], 1.1f, 1e-6f);
  EXPECT_EQ(gap, 0x1p-24f);
}

// Outside the unit torus the kernels still agree with the plain formula: the
// integer form of the minimum is exact for every input, infinities and NaN too.
TEST_P(TileKernelLevelTest, AgreesOutsideTheUnitCube) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float odd[] = {1.0f, 1.5f, -0.25f, -0.0f, 3.75f, -7.0f, inf, -inf, nan, 1e30f, -1e-30f, 0.5f};
  const std::size_t d = 1;
  const std::size_t n = std::size(odd);
  const std::vector<float> points(std::begin(odd), std::end(odd));
  const Panels panels(points.data(), n, d);
  const std::vector<std::uint32_t> bound(n, 0xffffffffu);
  const KernelOutput out = run_kernel(GetParam(), points, n, panels, bound);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t i = 0; i < n; ++i) {
      const float got = out.dist[r * panels.count() * kPanelWidth + i];
      const float a = std::fabs(odd[r] - odd[i]);
      const float t = 1.0f - a;
      const float want = 0.0f + (a < t ? a : t);
      EXPECT_EQ(bits_of(got), bits_of(want)) << odd[r] << " vs " << odd[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, TileKernelLevelTest, ::testing::ValuesIn(levels_of_this_cpu()),
                         [](const auto& info) { return std::string(level_name(info.param)); });

TEST(ScanLevel, NamesRoundTrip) {
  for (ScanLevel level : {ScanLevel::kScalar, ScanLevel::kAvx2, ScanLevel::kAvx512}) {
    ScanLevel parsed = ScanLevel::kScalar;
    ASSERT_TRUE(parse_level(level_name(level), &parsed));
    EXPECT_EQ(parsed, level);
  }
  ScanLevel parsed = ScanLevel::kAvx2;
  EXPECT_FALSE(parse_level("sse9", &parsed));
  EXPECT_EQ(parsed, ScanLevel::kAvx2);
}

}  // namespace
}  // namespace vb::exact_scan
