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

// Batches of at least this many rows may be searched bucket by bucket on
// tiles (radius_tiled_applies).
inline constexpr std::size_t kRadiusTileMinRows = 64;

// Whether query_radius takes radius_tiled for a batch of m rows: m >=
// kRadiusTileMinRows, the index's block is not 1, and a table has no more
// cells (b^k) than a block has rows, so that the rows of a block share their
// buckets. A tile pays for packing its candidates only when several rows are
// measured against it; with one row per bucket, the query-by-query gather,
// which measures each candidate once and packs nothing, is faster.
bool radius_tiled_applies(const index::Index& index, std::size_t m);

// The distance cutoff on the summed form: the radius (squared for L2) rounded
// to nearest single precision.
float radius_threshold(double radius, Metric metric = Metric::kL1);

// For each of m query rows (row-major, dq values each): the candidates of its
// normal gather (base and probe cells, both tiers; the radius never widens the
// search) whose single-precision toroidal distance (summed form) is at most
// radius_threshold(radius), minus the row's excluded id (exclude is null or
// holds m ids), ascending by (distance, id), distances widened to double. A
// NaN or negative radius keeps nothing; on an index without points every row
// is empty. Runs on the pool; the result does not depend on the number of
// threads. Never touches the query profile. Takes radius_tiled when
// radius_tiled_applies, else radius_gathered: both give the same result bit
// for bit.
// Requires: dq == index.d when the index holds points (see check_queries).
// Throws InternalError on a corrupted index.
RadiusResult query_radius(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                          double radius, const std::int64_t* exclude);

// query_radius query by query: each row's candidates gathered once each
// (marks), measured, kept and sorted; one workspace per piece of rows.
RadiusResult radius_gathered(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                             double radius, const std::int64_t* exclude);

// query_radius block by block: the blocked path's bucket-major walk (rows in
// the order of their table-0 key, each bucket of a table looked up once per
// block and packed into tiles), every row of a bucket measured against its
// tiles a few rows per kernel call with the threshold as the admission bound,
// only admitted candidates kept; a row that meets a point in several tables or
// probes keeps it once.
RadiusResult radius_tiled(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                          double radius, const std::int64_t* exclude);

}  // namespace vb::query
