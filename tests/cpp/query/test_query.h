#pragma once

#include <cstdint>

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

}  // namespace vb::query::testing
