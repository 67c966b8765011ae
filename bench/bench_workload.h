#pragma once

// The shape every C++ micro-benchmark of the index core measures: the build
// workload, d = 16, l = 8 tables, b = 4, k = 9 digits (offsets on).
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::bench {

inline constexpr std::size_t kD = 16, kK = 9, kL = 8;

// An index with hash parameters drawn from a fixed seed.
inline index::Index make_index() {
  std::mt19937_64 rng(1);
  std::vector<std::int64_t> s(kL * kK);
  std::vector<double> u(kL * kK);
  std::uniform_real_distribution<double> unit(0, 1);
  for (auto& v : s) v = static_cast<std::int64_t>(rng() % kD);
  for (auto& v : u) v = unit(rng);
  return index::Index(4, kK, kL, 2, s, u, 1024);
}

// n uniform points of kD coordinates, row-major.
inline Buffer<double> make_points(std::size_t n, std::uint64_t seed = 2) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0, 1);
  Buffer<double> points(n * kD);
  for (auto& v : points) v = unit(rng);
  return points;
}

}  // namespace vb::bench
