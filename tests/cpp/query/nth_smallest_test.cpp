#include "query/nth_smallest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/errors.h"

namespace vb::query {
namespace {

// Every order statistic of the set against a sort of it.
void expect_every_rank(const std::vector<std::uint32_t>& values, const char* what) {
  std::vector<std::uint32_t> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t nth = 0; nth < values.size(); ++nth) {
    std::vector<std::uint32_t> scratch = values;
    EXPECT_EQ(nth_smallest(scratch.data(), scratch.size(), nth), sorted[nth]) << what << ", n " << values.size()
                                                                                << ", rank " << nth;
  }
}

// Sizes on both sides of the comparison select's (16) and of a tile (512),
// values that fill every bit, that crowd into one bin of each round (equal
// high bits, then equal middle bits), that repeat, that all agree, and that
// are zero; each against a sort.
TEST(NthSmallest, EveryRankOfTheValuesAsASortPlacesIt) {
  std::mt19937_64 rng(5);
  for (const std::size_t n : {1u, 2u, 16u, 17u, 49u, 64u, 65u, 300u, 512u}) {
    std::vector<std::uint32_t> any(n), crowded(n), repeats(n), small(n);
    for (std::size_t i = 0; i < n; ++i) {
      any[i] = static_cast<std::uint32_t>(rng());
      // One high-bit pattern, then two middle ones: a round keeps nearly all.
      crowded[i] = 0xF0000000u | (static_cast<std::uint32_t>(rng() % 2) << 20) | static_cast<std::uint32_t>(rng() % 1000);
      repeats[i] = static_cast<std::uint32_t>(rng() % 5) * 1000u;
      small[i] = static_cast<std::uint32_t>(rng() % 70);  // one bit above the bins: two rounds
    }
    expect_every_rank(any, "any bits");
    expect_every_rank(crowded, "crowded");
    expect_every_rank(repeats, "repeats");
    expect_every_rank(small, "small");
    expect_every_rank(std::vector<std::uint32_t>(n, 0xFFFFFFFFu), "all the largest");
    expect_every_rank(std::vector<std::uint32_t>(n, 0u), "all zero");
  }
}

TEST(NthSmallest, ARankBeyondTheValuesIsAnInternalError) {
  std::vector<std::uint32_t> values = {3, 1, 2};
  EXPECT_THROW(nth_smallest(values.data(), values.size(), 3), InternalError);
  EXPECT_THROW(nth_smallest(values.data(), 0, 0), InternalError);
}

}  // namespace
}  // namespace vb::query
