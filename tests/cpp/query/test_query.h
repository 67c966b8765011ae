#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

#include "index/build.h"
#include "index/index.h"
#include "../index/test_index.h"

namespace vb::query::testing {

using index::Index;

// An index of n random points over d coordinates, built on construction
// (an index can be neither copied nor moved).
struct Built : Index {
  Built(std::int64_t b, std::size_t k, std::size_t l, std::size_t d, std::size_t n, std::size_t n_static,
        std::uint64_t seed, std::size_t probes = 2)
      : Built(index::testing::random_index(b, k, l, d, seed), d, n, n_static, seed, probes) {}

 private:
  Built(const Index& drawn, std::size_t d, std::size_t n, std::size_t n_static, std::uint64_t seed,
        std::size_t probes)
      : Index(drawn.b, drawn.k, drawn.l, probes, drawn.s, drawn.u, 1024) {
    index::build(*this, index::testing::random_points(n, d, seed + 1), n, d, n_static);
  }
};

// Axis periods of the kinds the code bound tells apart: none (the unit
// torus), one period on every axis (a cube), sides within the spread the
// bound scales by the smallest, and sides too far apart for it (from d = 3).
enum class Box { kUnit, kCube, kNear, kWide };

inline const char* box_name(Box box) {
  return box == Box::kUnit ? "unit" : box == Box::kCube ? "cube" : box == Box::kNear ? "near" : "wide";
}

// Gives ix the metric and the periods of `box` and chooses its kernels again.
inline void set_form(Index& ix, Metric metric, Box box) {
  ix.metric = metric;
  ix.scale.clear();
  for (std::size_t c = 0; box != Box::kUnit && c < ix.d; ++c) {
    const auto step = static_cast<float>(c % 5);
    ix.scale.push_back(box == Box::kCube ? 2.5f : box == Box::kNear ? 1.0f + 0.2f * step : 0.5f + 0.5f * step);
  }
  index::choose_kernels(ix);
}

// Result rows with distances as bit patterns, so comparisons are exact.
struct Rows {
  std::vector<std::int64_t> ids;
  std::vector<std::uint64_t> dist_bits;
};

inline Rows rows_of(std::vector<std::int64_t> ids, const std::vector<double>& dists) {
  Rows out{std::move(ids), {}};
  out.dist_bits.reserve(dists.size());
  for (double d : dists) out.dist_bits.push_back(std::bit_cast<std::uint64_t>(d));
  return out;
}

}  // namespace vb::query::testing
