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
// torus), one period on every axis (a cube), sides close together and sides
// 1, 2 and 3 (weighted bounds), and sides too far apart for the weights
// (from d = 2), where searches keep the float path.
enum class Box { kUnit, kCube, kNear, kWide, kFar };

inline const char* box_name(Box box) {
  switch (box) {
    case Box::kUnit:
      return "unit";
    case Box::kCube:
      return "cube";
    case Box::kNear:
      return "near";
    case Box::kWide:
      return "wide";
    default:
      return "far";
  }
}

inline float box_period(Box box, std::size_t c) {
  switch (box) {
    case Box::kCube:
      return 2.5f;
    case Box::kNear:
      return 1.0f + 0.2f * static_cast<float>(c % 5);
    case Box::kWide:
      return static_cast<float>(1 + c % 3);
    default:
      return c % 2 == 0 ? 0.5f : 400.0f;
  }
}

// Gives ix the metric and the periods of `box` and chooses its kernels again.
inline void set_form(Index& ix, Metric metric, Box box) {
  ix.metric = metric;
  ix.scale.clear();
  for (std::size_t c = 0; box != Box::kUnit && c < ix.d; ++c) ix.scale.push_back(box_period(box, c));
  index::choose_kernels(ix);
}

// Whether the code bound serves a box at dimension d.
inline bool box_bounded(Box box, std::size_t d) { return box != Box::kFar || d < 2; }

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
