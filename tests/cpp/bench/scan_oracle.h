#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

// Test helpers of the exact scan: the toroidal L1 distance written plainly, one
// pair at a time, and point sets with the awkward coordinates of the torus.
namespace vb::exact_scan::testing {

// Sum over c < d of min(a, 1 - a), a = |q[c] - x[c]|, in float, term 0 first.
inline float plain_distance(const float* q, const float* x, std::size_t d) {
  float sum = 0.0f;
  for (std::size_t c = 0; c < d; ++c) {
    const float a = std::fabs(q[c] - x[c]);
    sum += std::min(a, 1.0f - a);
  }
  return sum;
}

// n × d coordinates in [0, 1): uniform, with about a third taken from the edges
// of the torus (0, just below 1, 0.5, 0.25, 0.75, 0.05, 0.95).
inline std::vector<float> torus_points(std::size_t n, std::size_t d, std::uint64_t seed) {
  const float edges[] = {0.0f, std::nextafter(1.0f, 0.0f), 0.5f, 0.25f, 0.75f, 0.05f, 0.95f};
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> points(n * d);
  for (auto& v : points) v = rng() % 3 == 0 ? edges[rng() % std::size(edges)] : unit(rng);
  return points;
}

inline std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

}  // namespace vb::exact_scan::testing
