#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "index/build.h"
#include "index/index.h"
#include "query/distance.h"
#include "query/topk.h"
#include "../index/test_index.h"

namespace vb::query::testing {

using index::Index;
using index::testing::random_index;
using index::testing::random_points;

// Random hash parameters as random_index draws them, for an index built in place.
struct Params {
  std::vector<std::int64_t> s;
  std::vector<double> u;
};
inline Params random_params(std::int64_t b, std::size_t k, std::size_t l, std::size_t d, std::uint64_t seed) {
  const Index drawn = random_index(b, k, l, d, seed);
  return {drawn.s, drawn.u};
}

// An index of n random points over d coordinates, built on construction
// (an index can be neither copied nor moved).
struct Built : Index {
  Built(std::int64_t b, std::size_t k, std::size_t l, std::size_t d, std::size_t n, std::size_t n_static,
        std::uint64_t seed, std::size_t probes = 2)
      : Built(random_params(b, k, l, d, seed), b, k, l, d, n, n_static, seed, probes) {}

 private:
  Built(Params params, std::int64_t b, std::size_t k, std::size_t l, std::size_t d, std::size_t n,
        std::size_t n_static, std::uint64_t seed, std::size_t probes)
      : Index(b, k, l, probes, std::move(params.s), std::move(params.u), 1024) {
    index::build(*this, random_points(n, d, seed + 1), n, d, n_static);
  }
};

// Single-precision distance of query q (d doubles) to point `id`, computed
// with the portable kernel.
inline float distance_to(const Index& ix, const double* q, std::size_t id) {
  std::vector<float> q32(q, q + ix.d);
  return kernel_for(KernelLevel::kScalar)->row(q32.data(), ix.points_f32.data() + id * ix.d, ix.d);
}

// The exact answer over the whole index: the `k` nearest points other than
// `exclude`, ascending by (distance, id).
inline std::vector<Entry> brute_force_knn(const Index& ix, const double* q, std::size_t k, std::int64_t exclude) {
  std::vector<Entry> all;
  for (std::size_t id = 0; id < ix.n_points; ++id) {
    if (static_cast<std::int64_t>(id) == exclude) continue;
    all.push_back({to_bits(distance_to(ix, q, id)), static_cast<std::int64_t>(id)});
  }
  std::sort(all.begin(), all.end(), nearer);
  all.resize(std::min(all.size(), k));
  return all;
}

}  // namespace vb::query::testing
