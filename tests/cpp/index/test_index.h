#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::index::testing {

// An index with random hash parameters over `d` coordinates.
inline Index random_index(std::int64_t b, std::size_t k, std::size_t l, std::size_t d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::int64_t> s(l * k);
  std::vector<double> u(l * k);
  for (auto& v : s) v = static_cast<std::int64_t>(rng() % d);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (auto& v : u) v = unit(rng);
  return Index(b, k, l, 2, std::move(s), std::move(u), 1024);
}

inline Buffer<double> random_points(std::size_t n, std::size_t d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Buffer<double> points(n * d);
  for (auto& v : points) v = unit(rng);
  return points;
}

// What the static tier's key-ordered codes must hold: row p of run t the
// codes of the point static_ids[t * n_static + p].
inline std::vector<std::uint8_t> key_ordered_oracle(const Index& ix) {
  std::vector<std::uint8_t> out;
  for (std::size_t p = 0; p < ix.l * ix.n_static; ++p) {
    const std::uint8_t* row = ix.codes.data() + ix.static_ids[p] * ix.d;
    out.insert(out.end(), row, row + ix.d);
  }
  return out;
}

}  // namespace vb::index::testing
