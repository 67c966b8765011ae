#pragma once

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "kernels/cpu_level.h"

// Inputs the kernel tests share: the levels this machine can run, and
// coordinates on every edge of the hashing formula.
namespace vb::kernels {

// kPortable and every wider level the running CPU supports.
inline std::vector<CpuLevel> levels_of_this_cpu() {
  std::vector<CpuLevel> levels{CpuLevel::kPortable};
  if (supported_cpu_level() >= CpuLevel::kAvx2) levels.push_back(CpuLevel::kAvx2);
  if (supported_cpu_level() >= CpuLevel::kAvx512) levels.push_back(CpuLevel::kAvx512);
  return levels;
}

// Coordinates on every edge the digit formula has: signed zeros, just below
// and exactly at whole turns, tiny negatives, huge values, infinities and NaN.
inline std::vector<double> awkward_column(std::size_t n, std::uint64_t seed) {
  const double edges[] = {0.0, -0.0, 1.0, std::nextafter(1.0, 0.0), -1e-20, -1e-300, 1e-300, 0.5, 0.25, 0.75,
                          -0.25, 3.5, -7.75, 1e15 + 0.5, 4503599627370497.0, 1e300, -1e300,
                          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> column(n);
  for (auto& v : column) v = (rng() % 3 == 0) ? edges[rng() % std::size(edges)] : unit(rng);
  return column;
}

}  // namespace vb::kernels
