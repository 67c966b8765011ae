#include "kernels/tile_distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "kernels_test_inputs.h"

namespace vb::kernels {
namespace {

// How the distances are formed: the metric and the axis periods (null on
// the unit torus).
struct Shape {
  Metric metric = Metric::kL1;
  const float* scale = nullptr;
};

// The distance summed in the documented order, written out independently of
// every kernel.
float reference(const float* q, const float* x, std::size_t d, Shape shape = {}) {
  float s[8] = {};
  for (std::size_t c = 0; c < d; ++c) {
    const float a = std::fabs(q[c] - x[c]);
    float t = std::min(a, 1.0f - a);
    if (shape.scale != nullptr) t = t * shape.scale[c];
    s[c % 8] += shape.metric == Metric::kL2 ? t * t : t;
  }
  return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

// Candidates row-major (count × d), laid into panels as the kernels read them.
struct Tile {
  std::vector<float> store;
  float* panels;
  std::size_t count;
  Tile(const std::vector<float>& rows, std::size_t d) : count(rows.size() / d) {
    const std::size_t n = (count + kPanelWidth - 1) / kPanelWidth;
    store.assign(n * d * kPanelWidth + 16, 0.0f);
    panels = store.data() + ((64 - reinterpret_cast<std::uintptr_t>(store.data()) % 64) % 64) / sizeof(float);
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t c = 0; c < d; ++c) panels[(i / kPanelWidth * d + c) * kPanelWidth + i % kPanelWidth] = rows[i * d + c];
    }
  }
  std::size_t panel_count() const { return (count + kPanelWidth - 1) / kPanelWidth; }
};

// Every level against the reference, bit for bit, for every row and real
// candidate; and the admission bits exactly the lanes whose distance bits are
// at most the row's bound. Row r's bound is "all" for r % 3 == 0, nothing for
// r % 3 == 1, and the distance of its candidate r (so ties are admitted) else.
void expect_reference(const std::vector<float>& queries, const std::vector<float>& rows, std::size_t d,
                      Shape shape = {}) {
  const Tile tile(rows, d);
  const std::size_t m = queries.size() / d, panels = tile.panel_count(), stride = panels * kPanelWidth;
  std::vector<const float*> q(m);
  std::vector<std::uint32_t> bound(m);
  for (std::size_t r = 0; r < m; ++r) {
    q[r] = queries.data() + r * d;
    const float own = reference(q[r], rows.data() + (r % tile.count) * d, d, shape);
    bound[r] = r % 3 == 0 ? 0xffffffffu : r % 3 == 1 ? 0u : std::bit_cast<std::uint32_t>(own);
  }
  for (CpuLevel level : levels_of_this_cpu()) {
    std::vector<float> dist(m * stride, -7.0f);
    std::vector<std::uint16_t> admit(m * panels + 1, 0xbeef);
    tile_kernel(level, d, shape.metric, shape.scale != nullptr)(
        TileJob{q.data(), m, d, tile.panels, panels, bound.data(), dist.data(), admit.data(), shape.scale});
    ASSERT_EQ(admit.back(), 0xbeef) << "written past the admission words";
    for (std::size_t r = 0; r < m; ++r) {
      for (std::size_t i = 0; i < tile.count; ++i) {
        const std::uint32_t got = std::bit_cast<std::uint32_t>(dist[r * stride + i]);
        ASSERT_EQ(got, std::bit_cast<std::uint32_t>(reference(q[r], rows.data() + i * d, d, shape)))
            << cpu_level_name(level) << " d=" << d << " row " << r << " candidate " << i;
        ASSERT_EQ((admit[r * panels + i / kPanelWidth] >> (i % kPanelWidth)) & 1u, got <= bound[r] ? 1u : 0u)
            << cpu_level_name(level) << " d=" << d << " row " << r << " candidate " << i;
      }
    }
  }
}

class TileKernels
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t, Metric, bool>> {};

// Fixed-dimension and general kernels of every form at every width from 1 to
// 33 (below, at and past each vector width and partial-sum count), full and
// partial row groups, one and several panels with a partial last one; the
// periods are not powers of two, so scaling rounds.
TEST_P(TileKernels, MatchTheReferenceOnRandomRows) {
  const auto [d, m, count, metric, scaled] = GetParam();
  std::mt19937_64 rng(d * 1000 + m * 10 + count);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> queries(m * d), rows(count * d), periods(d);
  for (auto& v : queries) v = unit(rng);
  for (auto& v : rows) v = unit(rng);
  for (auto& v : periods) v = 0.3f + 7.0f * unit(rng);
  expect_reference(queries, rows, d, Shape{metric, scaled ? periods.data() : nullptr});
}

INSTANTIATE_TEST_SUITE_P(TileDistance, TileKernels,
                         ::testing::Combine(::testing::Range<std::size_t>(1, 34),
                                            ::testing::Values(1, 3, 4, 9), ::testing::Values(1, 16, 17, 47),
                                            ::testing::Values(Metric::kL1, Metric::kL2), ::testing::Bool()));

// Coordinates on the seams of the torus: 0, the float just below 1, pairs
// exactly 0.5 apart (the farthest a coordinate can be), and pairs across the
// wrap (0.05 against 0.95 is about 0.1).
TEST(TileDistance, MatchesTheReferenceOnTheSeams) {
  const float below_one = std::nextafter(1.0f, 0.0f);
  const std::vector<float> values = {0.0f, below_one, 0.5f, 0.25f, 0.75f, 0.05f, 0.95f};
  for (std::size_t d : {1, 5, 8, 16, 24, 33}) {
    std::mt19937_64 rng(d);
    std::vector<float> queries(5 * d), rows(61 * d);
    for (auto& v : queries) v = values[rng() % values.size()];
    for (auto& v : rows) v = values[rng() % values.size()];
    expect_reference(queries, rows, d);
  }
}

}  // namespace
}  // namespace vb::kernels
