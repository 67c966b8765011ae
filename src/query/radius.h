#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"

// Radius search: every gathered point within a distance of each query.
namespace vb::query {

// Compressed-sparse-row result: query i owns ids[indptr[i] .. indptr[i + 1])
// and the matching dists.
struct RadiusResult {
  Buffer<std::int64_t> indptr;  // m + 1 row starts, indptr[0] = 0
  Buffer<std::int64_t> ids;
  Buffer<double> dists;
};

// The distance cutoff on the summed form: the radius (squared for L2) rounded
// to nearest single precision.
float radius_threshold(double radius, Metric metric = Metric::kL1);

// For each of m query rows (row-major, dq values each): the candidates of its
// normal gather (base and probe cells, both tiers; the radius never widens the
// search) whose single-precision toroidal distance (summed form) is at most
// radius_threshold(radius), minus the row's excluded id (exclude is null or
// holds m ids), ascending by (distance, id), distances widened to double. A
// NaN or negative radius keeps nothing; on an index without points every row
// is empty. Runs on the pool, one workspace per task; the result does not
// depend on the number of threads. Never touches the query profile.
// Requires: dq == index.d when the index holds points (see check_queries).
// Throws InternalError on a corrupted index.
RadiusResult query_radius(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                          double radius, const std::int64_t* exclude);

}  // namespace vb::query
