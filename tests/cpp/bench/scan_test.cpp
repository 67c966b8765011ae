#include "exact_scan/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "exact_scan/panels.h"
#include "exact_scan/top_k.h"
#include "scan_oracle.h"

namespace vb::exact_scan {
namespace {

using testing::bits_of;
using testing::plain_distance;
using testing::torus_points;

struct Rows {
  std::vector<std::int64_t> ids;
  std::vector<float> dists;
};

// Every point's distance, sorted by (bit pattern, id), the first k kept.
Rows brute_force(const std::vector<float>& points, std::size_t n, const std::vector<float>& queries,
                 std::size_t m, std::size_t d, std::size_t k, bool exclude_self) {
  Rows rows{std::vector<std::int64_t>(m * k, -1), std::vector<float>(m * k, std::numeric_limits<float>::infinity())};
  for (std::size_t r = 0; r < m; ++r) {
    std::vector<std::pair<std::uint32_t, std::int64_t>> all;
    for (std::size_t i = 0; i < n; ++i) {
      if (exclude_self && i == r) continue;
      all.emplace_back(bits_of(plain_distance(queries.data() + r * d, points.data() + i * d, d)), static_cast<std::int64_t>(i));
    }
    std::sort(all.begin(), all.end());
    for (std::size_t j = 0; j < std::min(k, all.size()); ++j) {
      rows.ids[r * k + j] = all[j].second;
      rows.dists[r * k + j] = std::bit_cast<float>(all[j].first);
    }
  }
  return rows;
}

Rows scan(const Panels& panels, const std::vector<float>& queries, std::size_t m, std::size_t k, bool exclude_self,
          std::size_t threads, ScanLevel level) {
  Rows rows{std::vector<std::int64_t>(m * k, 7), std::vector<float>(m * k, 7.0f)};
  const ScanRequest request{&panels, queries.data(), m, k, exclude_self, threads, level};
  const std::size_t used = exact_scan(request, rows.ids.data(), rows.dists.data());
  EXPECT_GE(used, 1u);
  EXPECT_LE(used, std::max<std::size_t>(threads, 1));
  return rows;
}

void expect_same_rows(const Rows& got, const Rows& want) {
  ASSERT_EQ(got.ids.size(), want.ids.size());
  for (std::size_t i = 0; i < got.ids.size(); ++i) {
    ASSERT_EQ(got.ids[i], want.ids[i]) << "cell " << i;
    ASSERT_EQ(bits_of(got.dists[i]), bits_of(want.dists[i])) << "cell " << i;
  }
}

// (n, m, d, k, exclude_self): point counts off the panel width, query counts
// off the tile sizes, k above the number of points, self-joins.
using ScanCase = std::tuple<std::size_t, std::size_t, std::size_t, std::size_t, bool>;

class ExactScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ExactScanTest, MatchesBruteForceOnEveryLevelAndThreadCount) {
  const auto [n, m, d, k, exclude_self] = GetParam();
  const std::vector<float> points = torus_points(n, d, 1000 + n + d);
  // A self-join asks for the points themselves; otherwise other queries.
  const std::vector<float> queries = exclude_self ? points : torus_points(m, d, 2000 + m + d);
  const std::size_t rows = exclude_self ? n : m;
  const Panels panels(points.data(), n, d);
  const Rows want = brute_force(points, n, queries, rows, d, k, exclude_self);
  for (ScanLevel level : {ScanLevel::kScalar, ScanLevel::kAvx2, ScanLevel::kAvx512}) {
    if (level > supported_scan_level()) continue;
    for (std::size_t threads : {1, 3}) {
      SCOPED_TRACE(std::string(level_name(level)) + ", threads " + std::to_string(threads));
      expect_same_rows(scan(panels, queries, rows, k, exclude_self, threads, level), want);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ExactScanTest,
                         ::testing::Values(ScanCase{300, 70, 16, 10, false}, ScanCase{300, 0, 16, 10, true},
                                           ScanCase{1500, 130, 8, 5, false}, ScanCase{257, 65, 24, 1, false},
                                           ScanCase{95, 9, 5, 120, false}, ScanCase{40, 0, 3, 45, true},
                                           ScanCase{33, 20, 0, 4, false}, ScanCase{0, 5, 4, 3, false},
                                           ScanCase{1200, 0, 2, 12, true}));

// Duplicated points tie exactly: ties go to the smaller id, also at the k-th
// place, and a self-join still returns the query's twins at distance 0.
TEST(ExactScan, BreaksTiesById) {
  const std::size_t d = 4;
  const std::size_t distinct = 10;
  const std::size_t n = 200;
  const std::vector<float> base = torus_points(distinct, d, 5);
  std::vector<float> points(n * d);
  std::mt19937_64 rng(6);
  for (std::size_t i = 0; i < n; ++i) std::copy_n(&base[(rng() % distinct) * d], d, &points[i * d]);
  const Panels panels(points.data(), n, d);
  for (bool exclude_self : {false, true}) {
    const Rows want = brute_force(points, n, points, n, d, 25, exclude_self);
    const Rows got = scan(panels, points, n, 25, exclude_self, 2, supported_scan_level());
    expect_same_rows(got, want);
    for (std::size_t r = 0; r < n; ++r) {
      EXPECT_EQ(got.dists[r * 25], 0.0f) << "row " << r;
      if (exclude_self) {
        EXPECT_NE(got.ids[r * 25], static_cast<std::int64_t>(r));
      }
    }
  }
}

TEST(ExactScan, ZeroNeighboursWritesNothing) {
  const std::vector<float> points = torus_points(20, 2, 1);
  const Panels panels(points.data(), 20, 2);
  std::int64_t id = 42;
  float dist = 4.2f;
  const ScanRequest request{&panels, points.data(), 20, 0, false, 2, ScanLevel::kScalar};
  exact_scan(request, &id, &dist);
  EXPECT_EQ(id, 42);
  EXPECT_EQ(dist, 4.2f);
}

// The collector keeps the k smallest (bits, id) entries whatever the order of
// the offers, and pads its row.
class TopKTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TopKTest, KeepsTheSmallestEntriesInAnyOrder) {
  const std::size_t k = GetParam();
  std::mt19937_64 rng(k);
  std::vector<std::pair<std::uint32_t, std::int64_t>> entries;
  for (std::int64_t id = 0; id < 60; ++id) entries.emplace_back(static_cast<std::uint32_t>(rng() % 8), id);
  std::vector<std::pair<std::uint32_t, std::int64_t>> sorted = entries;
  std::sort(sorted.begin(), sorted.end());
  TopK top(k);
  for (int round = 0; round < 3; ++round) {
    std::shuffle(entries.begin(), entries.end(), rng);
    top.clear();
    EXPECT_EQ(top.bound(), k == 0 ? 0u : 0xffffffffu) << "empty";
    for (const auto& [bits, id] : entries) top.offer(bits, id);
    std::vector<std::int64_t> ids(k);
    std::vector<float> dists(k);
    if (k <= entries.size() && k > 0) {
      EXPECT_EQ(top.bound(), sorted[k - 1].first);
    }
    top.write_row(ids.data(), dists.data());
    for (std::size_t j = 0; j < k; ++j) {
      if (j < sorted.size()) {
        EXPECT_EQ(ids[j], sorted[j].second) << "place " << j;
        EXPECT_EQ(bits_of(dists[j]), sorted[j].first) << "place " << j;
      } else {
        EXPECT_EQ(ids[j], -1);
        EXPECT_EQ(dists[j], std::numeric_limits<float>::infinity());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Capacities, TopKTest, ::testing::Values(std::size_t{0}, 1, 7, 60, 75));

TEST(PointsPerTile, WholePanelsOfAboutSixteenKiB) {
  for (std::size_t d : {0, 1, 8, 16, 24, 100, 1000}) {
    const std::size_t points = points_per_tile(d);
    EXPECT_EQ(points % kPanelWidth, 0u) << d;
    EXPECT_GE(points, kPanelWidth) << d;
    if (points > kPanelWidth) {
      EXPECT_LE(points * d * sizeof(float), 16u * 1024) << d;
    }
  }
}

}  // namespace
}  // namespace vb::exact_scan
