#include "query/query_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "../kernels/kernels_test_inputs.h"
#include "index/index.h"
#include "kernels/cpu_level.h"

namespace vb::query {
namespace {

// An index with only the parameters the probe keys read: b, k, probes and
// the digit weights (no points, one table).
struct Params : index::Index {
  Params(std::int64_t b, std::size_t k, std::size_t probes)
      : index::Index(b, k, 1, probes, std::vector<std::int64_t>(k, 0), std::vector<double>(k, 0.0), 1024) {}
};

// A stretch of rows as block_codes leaves it: digit-major codes and positions.
struct Stretch {
  std::size_t count;
  std::vector<std::int64_t> base;
  std::vector<std::int64_t> codes;  // k × count
  std::vector<double> frac;         // k × count
};

// Positions that decide the choice on their own: both ends of a cell, its
// middle (where the step turns up), just either side of it, and NaN.
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const double kEdges[] = {0.0, 1.0, 0.5, std::nextafter(0.5, 0.0), std::nextafter(0.5, 1.0), kNan};
// Positions whose margins tie in pairs: 0.25 and 0.75, 0.125 and 0.875.
const double kTies[] = {0.25, 0.75, 0.125, 0.875};

// Random rows of k digits: a third with random positions, a third drawn from
// the edges and ties, and the rest random with a few edge or tie digits;
// codes 0 and b - 1 (where a step wraps) often; rows wholly NaN now and then.
Stretch draw(std::int64_t b, std::size_t k, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Stretch s{count, std::vector<std::int64_t>(count), std::vector<std::int64_t>(k * count), std::vector<double>(k * count)};
  for (std::size_t i = 0; i < count; ++i) {
    s.base[i] = static_cast<std::int64_t>(rng());
    const unsigned kind = static_cast<unsigned>(rng() % 7);
    for (std::size_t j = 0; j < k; ++j) {
      const std::size_t at = j * count + i;
      const unsigned pick = static_cast<unsigned>(rng() % 4);
      s.codes[at] = pick == 0 ? 0 : pick == 1 ? b - 1 : static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(b));
      double f = unit(rng);
      if (kind == 1 || kind == 2 || (kind == 3 && rng() % 3 == 0)) f = kEdges[rng() % std::size(kEdges)];
      if (kind == 4 || (kind == 5 && rng() % 3 == 0)) f = kTies[rng() % std::size(kTies)];
      if (kind == 6 && i % 11 == 0) f = kNan;
      s.frac[at] = f;
    }
  }
  return s;
}

// The probe keys from their definition, written apart from both searches:
// digits with a finite margin min(f, 1 - f) in ascending (margin, digit)
// order, then digit 0 for every probe left; each moves its digit one bucket
// up (f >= 0.5) or down, modulo b.
std::vector<std::int64_t> defined_keys(const index::Index& ix, const Stretch& s, std::size_t i) {
  const std::size_t n = std::min(ix.k, ix.probes);
  std::vector<std::pair<double, std::size_t>> finite;
  for (std::size_t j = 0; j < ix.k; ++j) {
    const double f = s.frac[j * s.count + i];
    if (!std::isnan(f)) finite.emplace_back(std::min(f, 1.0 - f), j);
  }
  std::sort(finite.begin(), finite.end());
  std::vector<std::int64_t> keys;
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t j = p < finite.size() ? finite[p].second : 0;
    const std::int64_t code = s.codes[j * s.count + i];
    const std::int64_t moved = ((code + (s.frac[j * s.count + i] >= 0.5 ? 1 : -1)) % ix.b + ix.b) % ix.b;
    std::uint64_t weight = 1;
    for (std::size_t e = 0; e < j; ++e) weight *= static_cast<std::uint64_t>(ix.b);
    keys.push_back(static_cast<std::int64_t>(static_cast<std::uint64_t>(s.base[i]) +
                                             static_cast<std::uint64_t>(moved - code) * weight));
  }
  return keys;
}

// The keys of a whole stretch are those probe_keys gives each row, in its
// order, and both are the keys of the definition: over random rows, rows of
// positions exactly 0, 0.5 and 1 (and next to 0.5), NaN positions (some rows
// all NaN), tied margins, codes at both ends of the circle; with one digit,
// with probes from none to more than the digits (the sorting path above 4),
// b = 1 (every step comes back to its bucket) and 2, and stretches of lengths
// that fill no vector width; with the kernels of every level this CPU runs.
TEST(BlockProbeKeys, AreEachRowsProbeKeys) {
  // Lifts the cap however the test ends.
  struct Uncap {
    ~Uncap() { kernels::cap_cpu_level(kernels::CpuLevel::kAvx512); }
  } uncap;
  for (const kernels::CpuLevel level : kernels::levels_of_this_cpu()) {
    kernels::cap_cpu_level(level);
    for (const std::int64_t b : {1, 2, 3, 7}) {
      for (const std::size_t k : {1, 2, 3, 6, 9}) {
        for (const std::size_t probes : {0, 1, 2, 3, 4, 5, 12}) {
          for (const std::size_t count : std::initializer_list<std::size_t>{1, 3, 13, 255, kHashStretch}) {
            const Params ix(b, k, probes);  // its kernels are chosen at the capped level
            const Stretch s = draw(b, k, count, 1000 * static_cast<std::uint64_t>(b) + 100 * k + 10 * probes + count);
            BlockCodes block;
            block.base = s.base;
            block.codes = s.codes;
            block.frac = s.frac;
            block_probe_keys(ix, block, count);
            const std::size_t n = probe_count(ix);
            ASSERT_EQ(block.probes.size(), n * count);
            std::vector<std::int64_t> codes(k), keys(k);
            std::vector<double> frac(k), margin(k);
            for (std::size_t i = 0; i < count; ++i) {
              for (std::size_t j = 0; j < k; ++j) {
                codes[j] = s.codes[j * count + i];
                frac[j] = s.frac[j * count + i];
              }
              probe_keys(ix, s.base[i], codes.data(), frac.data(), margin.data(), keys.data());
              const std::vector<std::int64_t> row_keys(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(n));
              std::vector<std::int64_t> stretch_keys;
              for (std::size_t p = 0; p < n; ++p) stretch_keys.push_back(block.probes[p * count + i]);
              ASSERT_EQ(stretch_keys, row_keys) << kernels::cpu_level_name(level) << " b " << b << " k " << k
                                                << " probes " << probes << " count " << count << " row " << i;
              ASSERT_EQ(row_keys, defined_keys(ix, s, i))
                  << "b " << b << " k " << k << " probes " << probes << " count " << count << " row " << i;
            }
            // The stretch's own codes and positions are read, not changed.
            EXPECT_EQ(block.codes, s.codes);
          }
        }
      }
    }
  }
}

// A workspace reused for a shorter stretch, after a longer one with more
// digits, gives the shorter stretch's keys: no scratch of the earlier one
// leaks into its choice.
TEST(BlockProbeKeys, ReusedBlockForgetsTheLastStretch) {
  BlockCodes block;
  for (const auto& [k, count] : {std::pair<std::size_t, std::size_t>{9, 200}, {4, 37}, {9, 5}}) {
    const Params ix(5, k, 3);
    const Stretch s = draw(5, k, count, 77 + count);
    block.base = s.base;
    block.codes = s.codes;
    block.frac = s.frac;
    block_probe_keys(ix, block, count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::vector<std::int64_t> want = defined_keys(ix, s, i);
      for (std::size_t p = 0; p < want.size(); ++p) ASSERT_EQ(block.probes[p * count + i], want[p]) << k << " " << i;
    }
  }
}

}  // namespace
}  // namespace vb::query
