#include "kernels/code_bound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "kernels/row_distance.h"
#include "kernels/torus_codes.h"

namespace vb::kernels {
namespace {

// Coordinates at and around the code edges near 0, 1/2 and 1: each edge
// c / 256, the floats just below and above it, and a code's middle.
std::vector<float> edge_values() {
  std::vector<float> out = {0.0f, std::numeric_limits<float>::denorm_min(), 1.0f, std::nextafter(1.0f, 0.0f)};
  for (int c : {1, 2, 3, 64, 126, 127, 128, 129, 130, 192, 253, 254, 255}) {
    const float edge = static_cast<float>(c) / 256.0f;
    out.insert(out.end(), {edge, std::nextafter(edge, 0.0f), std::nextafter(edge, 1.0f), (c + 0.5f) / 256.0f});
  }
  return out;
}

std::vector<std::uint8_t> codes_of(const std::vector<float>& row) {
  std::vector<std::uint8_t> out(row.size());
  encode(row.data(), row.size(), out.data());
  return out;
}

// Periods of every kind the bound takes: none (the unit torus), one period
// on every axis (large, small, not a power of two) and unequal sides, close
// together and far apart (weighted).
struct Box {
  const char* name;
  std::vector<float> cycle;  // axis c has period cycle[c % size]; empty: the unit torus
  std::vector<float> periods(std::size_t d) const {
    std::vector<float> out;
    for (std::size_t c = 0; c < d && !cycle.empty(); ++c) out.push_back(cycle[c % cycle.size()]);
    return out;
  }
};

const std::vector<Box>& boxes() {
  static const std::vector<Box> all = {{"unit", {}},
                                       {"cube 2", {2.0f}},
                                       {"cube 0.3", {0.3f}},
                                       {"cube 37.7", {37.7f}},
                                       {"cube 1e-12", {1e-12f}},
                                       {"box 1 1.5 1.9", {1.0f, 1.5f, 1.9f}},
                                       {"box 1 2 3", {1.0f, 2.0f, 3.0f}},
                                       {"box 10 10 30", {10.0f, 10.0f, 30.0f}},
                                       {"box 0.7 2.1", {0.7f, 2.1f}}};
  return all;
}

// A pair's bound (weighted as the box weighs it) and the limit of the pair's
// own computed distance.
std::pair<std::int64_t, std::int64_t> bound_and_limit(const std::vector<float>& q, const std::vector<float>& x,
                                                      Metric metric, const Box& box) {
  const std::vector<float> periods = box.periods(q.size());
  const float* p = periods.empty() ? nullptr : periods.data();
  const float dist = scalar_distance_kernel(metric, p != nullptr).row(q.data(), x.data(), q.size(), p);
  const std::optional<CodeScale> scale = code_scale(metric, p, q.size());
  EXPECT_TRUE(scale.has_value()) << box.name;
  if (!scale) return {0, 0};
  const std::uint32_t bound = pair_bound(codes_of(q).data(), codes_of(x).data(), q.size(), metric,
                                         scale->weights_or_null());
  return {bound, code_limit(dist, *scale)};
}

// A pair's bound never exceeds the limit made from the pair's own computed
// distance: the candidate survives a bar set at exactly its distance.
void expect_survives_its_own_distance(const std::vector<float>& q, const std::vector<float>& x, Metric metric,
                                      const Box& box) {
  const auto [bound, limit] = bound_and_limit(q, x, metric, box);
  ASSERT_LE(bound, limit) << box.name << " d " << q.size() << " q0 " << q[0] << " x0 " << x[0];
}

// Every pair of edge coordinates on every box; on one axis the bound of the
// pairs at opposite ends of their codes is exact, so a limit any lower (or a
// scale any looser than the box's) would show.
TEST(CodeBound, EveryPairOfEdgeCoordinatesSurvivesItsOwnDistance) {
  const std::vector<float> edges = edge_values();
  for (const Box& box : boxes()) {
    for (Metric metric : {Metric::kL1, Metric::kL2}) {
      std::size_t tight = 0;  // pairs whose distance sits exactly on the limit
      for (float a : edges) {
        for (float b : edges) {
          expect_survives_its_own_distance({a}, {b}, metric, box);
          const auto [bound, limit] = bound_and_limit({a}, {b}, metric, box);
          tight += bound == limit;
        }
      }
      EXPECT_GT(tight, edges.size()) << box.name << " metric " << static_cast<int>(metric);
    }
  }
}

TEST(CodeBound, RowsOfEdgeCoordinatesSurviveTheirOwnDistance) {
  const std::vector<float> edges = edge_values();
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<std::size_t> pick(0, edges.size() - 1);
  for (const Box& box : boxes()) {
    for (std::size_t d : {2, 3, 5, 8, 15, 16, 17, 24, 33}) {
      for (int trial = 0; trial < 150; ++trial) {
        std::vector<float> q(d), x(d);
        for (std::size_t c = 0; c < d; ++c) {
          q[c] = edges[pick(rng)];
          x[c] = edges[pick(rng)];
        }
        expect_survives_its_own_distance(q, x, Metric::kL1, box);
        expect_survives_its_own_distance(q, x, Metric::kL2, box);
      }
    }
  }
}

// What one code of an axis is worth in the bound, as a share of what it is
// worth in the distance (its period over 256, squared for L2).
double worth(const CodeScale& scale, std::size_t c, float period, Metric metric) {
  const double w = scale.weights.empty() ? 1.0 : scale.weights[c];
  const double unit = static_cast<double>(period) / 256.0;
  return metric == Metric::kL2 ? w * w / scale.units / (unit * unit) : w / scale.units / unit;
}

// A code is never worth more in the bound than in the distance, and on every
// axis of a box the weights tell apart it is worth nearly as much: a cube
// loses only the rounding room, weights at most a sixteenth (a weight is
// floored, and none lies below kMinCodeWeight). Sides further apart fall
// back; the unit torus keeps its exact units.
TEST(CodeBound, ScaleWeighsEveryAxisByItsPeriod) {
  EXPECT_EQ(code_scale(Metric::kL1, nullptr, 3)->units, 256.0);
  EXPECT_EQ(code_scale(Metric::kL2, nullptr, 3)->units, 65536.0);
  for (Metric metric : {Metric::kL1, Metric::kL2}) {
    for (const Box& box : boxes()) {
      for (std::size_t d : {1, 3, 16, 33}) {
        const std::vector<float> periods = box.periods(d);
        if (periods.empty()) continue;
        const std::optional<CodeScale> scale = code_scale(metric, periods.data(), d);
        ASSERT_TRUE(scale.has_value()) << box.name << " d " << d;
        const bool cube = box.cycle.size() == 1 || d == 1;
        EXPECT_EQ(scale->weights.empty(), cube) << box.name << " d " << d;
        for (std::size_t c = 0; c < d; ++c) {
          const double share = worth(*scale, c, periods[c], metric);
          EXPECT_LT(share, 1.0) << box.name << " d " << d << " axis " << c;
          EXPECT_GT(share, cube ? 1.0 - 1e-4 : metric == Metric::kL2 ? 0.88 : 0.93) << box.name << " d " << d;
        }
      }
    }
  }
  const float far[] = {1.0f, 2.0f, 100.0f};
  EXPECT_FALSE(code_scale(Metric::kL1, far, 3).has_value());
  EXPECT_FALSE(code_scale(Metric::kL2, far, 3).has_value());
  EXPECT_FALSE(code_scale(Metric::kL1, far, 0).has_value());
}

TEST(CodeBound, CodesWrapTheCircleAndCountWhatLiesOffIt) {
  const std::vector<float> values = {0.0f, 0.5f, std::nextafter(0.5f, 0.0f), 1.0f, std::nextafter(1.0f, 0.0f),
                                     -0.0f, -0.25f, 1.5f, std::nanf("")};
  std::vector<std::uint8_t> codes(values.size());
  EXPECT_EQ(encode(values.data(), values.size(), codes.data()), 3u);
  EXPECT_EQ(codes, (std::vector<std::uint8_t>{0, 128, 127, 0, 255, 0, 0, 0, 0}));
  // Codes 0 and 255 are neighbours; 0 and 128 are half the circle apart.
  const std::uint8_t a[] = {0, 0, 3}, b[] = {255, 128, 1};
  EXPECT_EQ(pair_bound(a, b, 3, Metric::kL1), 0u + 127u + 1u);
  EXPECT_EQ(pair_bound(a, b, 3, Metric::kL2), 0u + 127u * 127u + 1u);
  EXPECT_EQ(code_limit(-0.0f, Metric::kL1), 0);
  EXPECT_EQ(code_limit(-1e-30f, Metric::kL1), -1);
  EXPECT_EQ(code_limit(std::numeric_limits<float>::infinity(), Metric::kL2), std::numeric_limits<std::int32_t>::max());
}

// Survivors of every kernel level against the plain bound of each lane
// (weighted or not), for tiles of every fill around the 32-lane words and at
// limits from none to all.
void expect_every_level_keeps_the_lanes_within_the_limit(const std::vector<std::uint8_t>& query,
                                                         const std::vector<std::uint8_t>& codes,
                                                         const std::vector<std::int64_t>& ids, std::size_t d,
                                                         Metric metric, const std::uint8_t* weights) {
  const std::size_t lanes = ids.size(), groups = code_groups(d);
  std::vector<std::uint8_t> tile(groups * lanes * kCodeGroup, 0xa5);
  // Tails of every kind: within a first register, a register's worth exactly, a word's worth and past it.
  for (std::size_t count : {1, 7, 8, 9, 31, 32, 33, 40, 56, 100, 127, 128}) {
    pack_code_tile(codes.data(), d, ids.data(), count, lanes, tile.data());
    // Exactly count rows, so that a kernel reading past them would show under a sanitizer.
    std::vector<std::uint8_t> rows;
    for (std::size_t i = 0; i < count; ++i) rows.insert(rows.end(), codes.begin() + ids[i] * d, codes.begin() + (ids[i] + 1) * d);
    std::vector<std::uint32_t> bounds(count);
    for (std::size_t i = 0; i < count; ++i) {
      bounds[i] = pair_bound(query.data(), codes.data() + ids[i] * d, d, metric, weights);
    }
    std::vector<std::uint32_t> sorted = bounds;
    std::sort(sorted.begin(), sorted.end());
    const auto median = static_cast<std::int32_t>(sorted[count / 2]), top = static_cast<std::int32_t>(sorted.back());
    for (std::int32_t limit : {-1, 0, median, top, std::numeric_limits<std::int32_t>::max()}) {
      std::vector<std::uint32_t> want((count + 31) / 32, 0);
      for (std::size_t i = 0; i < count; ++i) {
        if (static_cast<std::int64_t>(bounds[i]) <= limit) want[i / 32] |= 1u << (i % 32);
      }
      for (CpuLevel level : {CpuLevel::kPortable, CpuLevel::kAvx2, CpuLevel::kAvx512}) {
        if (level > supported_cpu_level()) continue;
        std::vector<std::uint32_t> got(want.size(), 0xdeadbeef);
        code_bound_kernel(level, metric, groups, weights != nullptr)(
            CodeBoundJob{query.data(), tile.data(), groups, lanes, count, limit, got.data(), weights});
        EXPECT_EQ(got, want) << cpu_level_name(level) << " d " << d << " count " << count << " limit " << limit
                             << (weights != nullptr ? " weighted" : "");
        // The same lanes read in place, as rows in key order.
        const CodeBoundKernel in_order = code_bound_rows_kernel(level, metric, d, weights != nullptr);
        if (in_order == nullptr) continue;
        std::fill(got.begin(), got.end(), 0xdeadbeef);
        in_order(CodeBoundJob{query.data(), rows.data(), groups, 0, count, limit, got.data(), nullptr});
        EXPECT_EQ(got, want) << cpu_level_name(level) << " in key order d " << d << " count " << count << " limit "
                             << limit;
      }
    }
  }
}

// Group counts of the fixed and the general kernels; weighted by the weights
// of a box of sides between 1 and 1.25, the largest the kernels' sums allow.
TEST(CodeBound, EveryLevelKeepsExactlyTheLanesWithinTheLimit) {
  constexpr std::size_t kLanes = 128;
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t d : {1, 3, 4, 5, 8, 16, 24, 25, 33, 300}) {
    std::vector<std::uint8_t> codes(kLanes * d);
    for (auto& c : codes) c = static_cast<std::uint8_t>(byte(rng));
    // Some rows' first code half the circle from the query's, some its neighbour across 0.
    for (std::size_t i = 0; i < kLanes; i += 3) codes[i * d] = static_cast<std::uint8_t>(i % 2 == 0 ? 255 : 128);
    std::vector<std::int64_t> ids(kLanes);
    for (std::size_t i = 0; i < kLanes; ++i) ids[i] = static_cast<std::int64_t>((i * 37) % kLanes);
    std::vector<std::uint8_t> query(code_groups(d) * kCodeGroup);
    std::vector<float> q(d), periods(d);
    for (auto& v : q) v = static_cast<float>(byte(rng)) / 256.0f;
    q[0] = 0.0f;
    ASSERT_TRUE(encode_query(q.data(), d, query.data()));
    for (auto& p : periods) p = 1.0f + static_cast<float>(byte(rng)) / 1024.0f;
    periods[0] = 1.0f;
    for (Metric metric : {Metric::kL1, Metric::kL2}) {
      expect_every_level_keeps_the_lanes_within_the_limit(query, codes, ids, d, metric, nullptr);
      const std::optional<CodeScale> scale = code_scale(metric, periods.data(), d);
      ASSERT_TRUE(scale && scale->weights.empty() == (d == 1)) << d;
      if (d > 1) {
        expect_every_level_keeps_the_lanes_within_the_limit(query, codes, ids, d, metric, scale->weights.data());
      }
    }
  }
}

// Rows of 8 and of 16 codes read in place: one row a word lies near the
// query (each code equal to the query's, one or two apart, or about half the
// circle away), at a place that moves from word to word, the rest far, and
// the limit runs around each near row's bound, so that every word's
// survivor, or its absence, is decided by that row alone: a row whose
// wrapped differences include zeros sums to more than its bound plus d less
// one per zero, one without zeros to exactly its bound plus d. Near rows of
// codes 128 away in both halves would pass 255 if their halves' differences
// were added as bytes. A run that ends inside a word and the limit of an
// infinite bar (every row survives) are there too.
TEST(CodeBound, RowsInKeyOrderDecideARowAloneAtItsOwnBound) {
  constexpr std::size_t kRows = 128;
  std::mt19937_64 rng(23);
  const int near_offsets[] = {0, 1, -1, 2, -2, 127, 128, -127};
  for (std::size_t d : {8, 16}) {
    std::size_t with_zeros = 0, without_zeros = 0, runs = 0;
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<std::uint8_t> query(d), rows(kRows * d);
      for (auto& c : query) c = static_cast<std::uint8_t>(rng());
      std::vector<std::int32_t> limits = {-1, 0, std::numeric_limits<std::int32_t>::max()};
      for (std::size_t i = 0; i < kRows; ++i) {
        const bool near = i % 32 == (static_cast<std::size_t>(trial) * 7 + i / 32 * 13) % 32;
        // Every fourth trial's near rows lie half the circle away, beside a zero or two.
        const bool halfway = near && trial % 4 == 3;
        std::size_t zeros = 0;
        for (std::size_t c = 0; c < d; ++c) {
          int offset = 64 + static_cast<int>(rng() % 129);
          if (near) offset = halfway ? (c % 8 == 0 && i % 2 == 0 ? 0 : 128) : near_offsets[rng() % 8];
          zeros += offset == 0;
          rows[i * d + c] = static_cast<std::uint8_t>(query[c] + offset);
        }
        if (!near) continue;
        ++(zeros > 0 ? with_zeros : without_zeros);
        const auto bound = static_cast<std::int32_t>(pair_bound(query.data(), rows.data() + i * d, d, Metric::kL1));
        limits.insert(limits.end(), {bound - 1, bound, bound + 1});
      }
      for (std::size_t count : {kRows, kRows - 13}) {
        for (std::int32_t limit : limits) {
          std::vector<std::uint32_t> want((count + 31) / 32, 0);
          for (std::size_t i = 0; i < count; ++i) {
            if (static_cast<std::int64_t>(pair_bound(query.data(), rows.data() + i * d, d, Metric::kL1)) <= limit) {
              want[i / 32] |= 1u << (i % 32);
            }
          }
          for (CpuLevel level : {CpuLevel::kPortable, CpuLevel::kAvx2, CpuLevel::kAvx512}) {
            // Rows of 16 are read in place only with 512-bit byte operations.
            const CodeBoundKernel kernel =
                level > supported_cpu_level() ? nullptr : code_bound_rows_kernel(level, Metric::kL1, d, false);
            if (kernel == nullptr) continue;
            ++runs;
            std::vector<std::uint32_t> got(want.size(), 0xdeadbeef);
            kernel(CodeBoundJob{query.data(), rows.data(), d / kCodeGroup, 0, count, limit, got.data(), nullptr});
            EXPECT_EQ(got, want) << cpu_level_name(level) << " d " << d << " trial " << trial << " count " << count
                                 << " limit " << limit;
          }
        }
      }
    }
    EXPECT_GT(with_zeros, 10u) << d;
    EXPECT_GT(without_zeros, 10u) << d;
    EXPECT_TRUE(runs > 0 || d != 8) << "rows of 8 have an in-place kernel at every level";
  }
}

// The upper bounds a level's kernel writes for rows of codes (row-major, d
// bytes a row) against one query row of floats.
std::vector<std::uint32_t> upper_bounds(CpuLevel level, Metric metric, const std::vector<float>& q,
                                        const std::vector<std::uint8_t>& codes, std::size_t d) {
  const std::size_t count = codes.size() / d, lanes = (count + 31) / 32 * 32;
  std::vector<std::uint8_t> query(code_groups(d) * kCodeGroup), tile(code_groups(d) * lanes * kCodeGroup, 0x5a);
  EXPECT_TRUE(encode_query(q.data(), d, query.data()));
  pack_code_tile(codes.data(), d, nullptr, count, lanes, tile.data());
  std::vector<std::uint32_t> out(count, 0xdeadbeef);
  code_upper_kernel(level, metric)(CodeUpperJob{query.data(), tile.data(), d, lanes, count, out.data()});
  return out;
}

// Every candidate's computed distance lies at or below its upper bound, at
// every level, for every pair of edge coordinates and for rows of them; on
// one axis the pairs at the far ends of their codes meet the bound exactly,
// so a bound one unit lower would show.
TEST(CodeUpperBound, NeverBelowTheComputedDistance) {
  const std::vector<float> edges = edge_values();
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, edges.size() - 1);
  for (Metric metric : {Metric::kL1, Metric::kL2}) {
    const double units = unit_code_scale(metric).units;
    const RowDistance row = scalar_distance_kernel(metric, false).row;
    for (std::size_t d : {1, 2, 3, 5, 8, 15, 16, 17, 24, 33}) {
      const std::size_t queries = d == 1 ? edges.size() : 40, count = d == 1 ? edges.size() : 150;
      std::size_t tight = 0;
      for (std::size_t t = 0; t < queries; ++t) {
        std::vector<float> q(d), x(count * d);
        for (std::size_t c = 0; c < d; ++c) q[c] = d == 1 ? edges[t] : edges[pick(rng)];
        for (std::size_t i = 0; i < count * d; ++i) x[i] = d == 1 ? edges[i] : edges[pick(rng)];
        std::vector<std::uint8_t> codes(count * d);
        encode(x.data(), x.size(), codes.data());
        for (CpuLevel level : {CpuLevel::kPortable, CpuLevel::kAvx2, CpuLevel::kAvx512}) {
          if (level > supported_cpu_level()) continue;
          const std::vector<std::uint32_t> upper = upper_bounds(level, metric, q, codes, d);
          for (std::size_t i = 0; i < count; ++i) {
            const double dist = row(q.data(), x.data() + i * d, d, nullptr);
            ASSERT_LE(dist * units, upper[i]) << cpu_level_name(level) << " d " << d << " q0 " << q[0] << " x0 "
                                              << x[i * d];
            tight += level == CpuLevel::kPortable && dist * units == upper[i];
          }
        }
      }
      if (d == 1) {
        EXPECT_GT(tight, edges.size()) << static_cast<int>(metric);
      }
    }
  }
}

// Every level writes the plain sum of min(w + 1, 128) (squared for L2) of
// each lane, for tiles of every fill around the 32-lane words and rows long
// enough to widen the sums more than once.
TEST(CodeUpperBound, EveryLevelWritesThePlainSum) {
  std::mt19937_64 rng(13);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t d : {1, 3, 4, 5, 8, 16, 17, 33, 300}) {
    for (std::size_t count : {1, 31, 32, 33, 100}) {
      std::vector<std::uint8_t> codes(count * d);
      for (auto& c : codes) c = static_cast<std::uint8_t>(byte(rng));
      std::vector<float> q(d);
      for (auto& v : q) v = static_cast<float>(byte(rng)) / 256.0f;
      q[0] = 0.5f;  // a coordinate half the circle from code 0 and 255
      codes[0] = 0;
      for (Metric metric : {Metric::kL1, Metric::kL2}) {
        std::vector<std::uint32_t> want(count, 0);
        for (std::size_t i = 0; i < count; ++i) {
          for (std::size_t c = 0; c < d; ++c) {
            const int diff = std::abs(static_cast<int>(codes[i * d + c]) - static_cast<int>(q[c] * 256.0f));
            const std::uint32_t u = static_cast<std::uint32_t>(std::min(std::min(diff, 256 - diff) + 1, 128));
            want[i] += metric == Metric::kL2 ? u * u : u;
          }
        }
        for (CpuLevel level : {CpuLevel::kPortable, CpuLevel::kAvx2, CpuLevel::kAvx512}) {
          if (level > supported_cpu_level()) continue;
          EXPECT_EQ(upper_bounds(level, metric, q, codes, d), want)
              << cpu_level_name(level) << " d " << d << " count " << count;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vb::kernels
