#include "index/probe_census.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels/cpu_level.h"
#include "index/index.h"
#include "pool/pool.h"
#include "query/query_codes.h"
#include "test_index.h"

namespace vb::index {
namespace {

struct Draw {
  std::vector<std::int64_t> s;
  std::vector<double> u;
  std::int64_t b;
  DigitDraw view() const { return {s.data(), u.data(), s.size(), b}; }
};

// The keys a query looks up with the first k digits, by the engine's own
// query path: its base key, then its k probe keys in order.
std::vector<std::int64_t> looked_up(const Draw& draw, std::size_t k, const double* row, std::size_t d) {
  Index index(draw.b, k, 1, k, {draw.s.begin(), draw.s.begin() + k}, {draw.u.begin(), draw.u.begin() + k}, 1024);
  std::vector<std::int64_t> codes(k), keys(k + 1);
  std::vector<double> frac(k), margin(k);
  keys[0] = query::query_codes(index, row, d, 0, codes.data(), frac.data());
  query::probe_keys(index, keys[0], codes.data(), frac.data(), margin.data(), keys.data() + 1);
  return keys;
}

std::int64_t key_of(const Draw& draw, std::size_t k, const double* row, std::size_t d) {
  return looked_up(draw, k, row, d)[0];
}

// Random rows, some of them on bucket boundaries (equal margins, so the
// lower digit's probe must come first), some mid-bucket, and at the
// wrap-around edges.
Buffer<double> rows_with_edges(std::size_t n, std::size_t d, std::int64_t b, std::uint64_t seed) {
  Buffer<double> rows = testing::random_points(n, d, seed);
  for (std::size_t i = 0; i < n; i += 5) {
    for (std::size_t c = 0; c < d; ++c) {
      rows[i * d + c] = static_cast<double>((i + c) % b) / static_cast<double>(b);
      // Mid-bucket rows: a margin of exactly one half, where the probe's step turns.
      if (i + 1 < n) rows[(i + 1) * d + c] = (static_cast<double>((i + c) % b) + 0.5) / static_cast<double>(b);
    }
  }
  if (n > 1) rows[d] = 0.9999999999999999;
  return rows;
}

Draw random_draw(std::int64_t b, std::size_t k_max, std::size_t d, bool zero_shift, std::uint64_t seed) {
  const Index source = testing::random_index(b, k_max, 1, d, seed);
  Draw draw{source.s, source.u, b};
  if (zero_shift) draw.u.assign(k_max, 0.0);
  return draw;
}

TEST(ProbeCensus, PlacesAndCountsMatchTheEngineLookups) {
  for (const std::int64_t b : {2, 3, 7}) {
    for (const bool zero_shift : {false, true}) {
      // q spans several pieces of the pool's loops, the last one partial.
      const std::size_t d = 5, k_max = 6, q = 37, per_query = 9, m = 300;
      const Draw draw = random_draw(b, k_max, d, zero_shift, 40 + b);
      const Buffer<double> queries = rows_with_edges(q, d, b, 1 + b);
      // Neighbours near their query, so that many share a cell or a probe.
      Buffer<double> neighbours = testing::random_points(q * per_query, d, 2 + b);
      for (std::size_t r = 0; r < q * per_query; ++r) {
        for (std::size_t c = 0; c < d; ++c) {
          double x = queries[(r / per_query) * d + c] + (neighbours[r * d + c] - 0.5) * 0.6 / static_cast<double>(b);
          neighbours[r * d + c] = x - static_cast<double>(static_cast<std::int64_t>(x + 1.0) - 1);
        }
      }
      const Buffer<double> others = rows_with_edges(m, d, b, 3 + b);
      Buffer<std::int64_t> places(q * per_query * k_max, static_cast<std::int64_t>(k_max + 1));
      lower_places(queries.data(), q, neighbours.data(), per_query, d, draw.view(), places.data());
      Buffer<std::int64_t> counts(k_max * (k_max + 1), 0);
      add_cell_counts(queries.data(), q, others.data(), m, d, draw.view(), counts.data());
      ASSERT_EQ(places.size(), q * per_query * k_max);
      ASSERT_EQ(counts.size(), k_max * (k_max + 1));
      std::vector<std::int64_t> expected_counts(counts.size(), 0);
      std::size_t shared = 0, probed = 0;
      for (std::size_t k = 1; k <= k_max; ++k) {
        for (std::size_t i = 0; i < q; ++i) {
          const std::vector<std::int64_t> keys = looked_up(draw, k, queries.data() + i * d, d);
          for (std::size_t r = i * per_query; r < (i + 1) * per_query; ++r) {
            const std::int64_t key = key_of(draw, k, neighbours.data() + r * d, d);
            std::int64_t expected = static_cast<std::int64_t>(k_max + 1);
            for (std::size_t p = 0; p <= k; ++p) {
              if (keys[p] == key) {
                expected = static_cast<std::int64_t>(p);
                break;
              }
            }
            shared += expected == 0;
            probed += expected > 0 && expected <= static_cast<std::int64_t>(k);
            ASSERT_EQ(places[r * k_max + k - 1], expected) << "b=" << b << " k=" << k << " row " << r;
          }
          for (std::size_t o = 0; o < m; ++o) {
            const std::int64_t key = key_of(draw, k, others.data() + o * d, d);
            for (std::size_t p = 0; p <= k; ++p) expected_counts[(k - 1) * (k_max + 1) + p] += keys[p] == key;
          }
        }
      }
      EXPECT_GT(shared, 0u);
      EXPECT_GT(probed, 0u);
      for (std::size_t e = 0; e < counts.size(); ++e) {
        EXPECT_EQ(counts[e], expected_counts[e]) << "b=" << b << " entry " << e;
      }
      // Lowering the places of one draw by another's gives their minimum,
      // though the neighbours at place 0 for every k are not hashed again.
      {
        const Draw other = random_draw(b, k_max, d, zero_shift, 50 + b);
        Buffer<std::int64_t> alone(places.size(), static_cast<std::int64_t>(k_max + 1));
        lower_places(queries.data(), q, neighbours.data(), per_query, d, other.view(), alone.data());
        Buffer<std::int64_t> both = places;
        lower_places(queries.data(), q, neighbours.data(), per_query, d, other.view(), both.data());
        std::size_t settled = 0;
        for (std::size_t r = 0; r < q * per_query; ++r) {
          bool zero = true;
          for (std::size_t k = 0; k < k_max; ++k) zero = zero && places[r * k_max + k] == 0;
          settled += zero;
        }
        EXPECT_GT(settled, 0u);
        for (std::size_t e = 0; e < places.size(); ++e) {
          ASSERT_EQ(both[e], std::min(places[e], alone[e])) << "b=" << b << " entry " << e;
        }
        // Rows within the settled places keep theirs; the rest are lowered.
        std::vector<std::int64_t> limits(k_max, static_cast<std::int64_t>(k_max + 1));
        for (std::size_t k = 0; k < k_max; k += 2) limits[k] = static_cast<std::int64_t>(k % 3);
        Buffer<std::int64_t> limited = places;
        lower_places(queries.data(), q, neighbours.data(), per_query, d, other.view(), limited.data(), limits.data());
        std::size_t kept = 0, lowered = 0;
        for (std::size_t r = 0; r < q * per_query; ++r) {
          bool within = true;
          for (std::size_t k = 0; k < k_max; ++k) within = within && places[r * k_max + k] <= limits[k];
          kept += within;
          for (std::size_t k = 0; k < k_max; ++k) {
            const std::size_t e = r * k_max + k;
            lowered += !within && both[e] < places[e];
            ASSERT_EQ(limited[e], within ? places[e] : both[e]) << "b=" << b << " row " << r << " digit " << k;
          }
        }
        EXPECT_GT(kept, settled);  // more than the rows at place 0 throughout
        EXPECT_GT(lowered, 0u);
        // Both tables in one call: each row takes them in turn, as above.
        const DigitDraw pair[2] = {draw.view(), other.view()};
        Buffer<std::int64_t> together(places.size(), static_cast<std::int64_t>(k_max + 1));
        lower_places(queries.data(), q, neighbours.data(), per_query, d, pair, 2, together.data());
        EXPECT_EQ(together, both);
        Buffer<std::int64_t> limited_pair(places.size(), static_cast<std::int64_t>(k_max + 1));
        lower_places(queries.data(), q, neighbours.data(), per_query, d, pair, 2, limited_pair.data(), limits.data());
        EXPECT_EQ(limited_pair, limited);
      }
      // One thread and the portable hashing kernel count the same.
      {
        pool::ScopedSerial one_thread;
        kernels::cap_cpu_level(kernels::CpuLevel::kPortable);
        Buffer<std::int64_t> serial(places.size(), static_cast<std::int64_t>(k_max + 1));
        lower_places(queries.data(), q, neighbours.data(), per_query, d, draw.view(), serial.data());
        Buffer<std::int64_t> portable(counts.size(), 0);
        add_cell_counts(queries.data(), q, others.data(), m, d, draw.view(), portable.data());
        kernels::cap_cpu_level(kernels::CpuLevel::kAvx512);
        EXPECT_EQ(serial, places);
        EXPECT_EQ(portable, counts);
      }
    }
  }
}

}  // namespace
}  // namespace vb::index
