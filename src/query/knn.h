#pragma once

#include <cstddef>
#include <cstdint>

#include "index/index.h"
#include "query/knn_request.h"
#include "query/profile.h"

// Exact k-nearest-neighbour search: the entry point and the per-query path.
// The entry point hands large batches to the blocked path (blocked.h), which
// calls nothing of this file.
namespace vb::query {

// Batches of at least this many rows belong to the blocked path.
inline constexpr std::size_t kBlockedMinRows = 64;
// Beyond this k, rows take the per-query path, whose gather lists each point
// once: the blocked collectors scan their slots for duplicates on every
// accepted offer.
inline constexpr std::size_t kBlockedMaxK = 256;

// Whether a batch of m rows is one for the blocked path: m >= kBlockedMinRows
// and the index's block is not 1. That path answers such batches bucket by
// bucket and gives the same rows as the per-query path.
bool blocked_path_applies(const index::Index& index, std::size_t m);

// Exact k nearest neighbours under toroidal L1 of the request's m rows. Fills
// all m × k entries of out_ids / out_dists: row i ascending by (distance, id),
// padded with -1 / +inf, without its excluded id. Adds the call's profile to
// `counters`. On an index without points every row is padding and only the
// `queries` counter moves. Runs on the pool; the rows do not depend on the
// number of threads.
// Requires: dq == index.d when the index holds points (see check_queries).
// Throws InternalError on a corrupted index and std::bad_alloc when a
// workspace cannot be allocated; the output is then incomplete.
void query_knn(const index::Index& index, Counters& counters, const KnnRequest& request);

// The per-query path: every row gathered, refined and, when short, relaxed on
// its own; one workspace and one collector per task. Same contract as
// query_knn for an index that holds points and k >= 1.
void knn_per_query(const index::Index& index, Counters& counters, const KnnRequest& request);

}  // namespace vb::query
