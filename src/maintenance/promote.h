#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"

// Promotion: the candidate tier joins the static tier and a new batch of
// points becomes the candidate tier.
namespace vb::maintenance {

// Merges every candidate run into the static run of its table (a candidate
// before static entries of an equal key; each side keeps its own order), then
// appends the m × columns batch (row-major) to the points and makes it the
// candidate tier, hashed and sorted from scratch with ids n_points, n_points + 1,
// ... No point is re-hashed or renumbered. With an empty candidate tier the
// static runs stay as they are; the static offsets are rebuilt on every call.
//
// Throws ArgumentError, before anything changes, when the index was never built
// or columns != d. On any exception (also std::bad_alloc) the index is
// unchanged: everything new is made before the first field is replaced.
// Tables merge in parallel; the result does not depend on the thread count.
// Requires: batch.size() == m × columns; exclusive access to the index.
void promote(index::Index& index, const Buffer<double>& batch, std::size_t m, std::size_t columns);

// Merges one candidate run (c entries) and one static run (s entries), both
// sorted by key, into out_keys/out_ids (c + s entries): on equal keys the
// candidate entries come first; each run keeps its own order.
void merge_runs(const std::int64_t* cand_keys, const std::int64_t* cand_ids, std::size_t c,
                const std::int64_t* static_keys, const std::int64_t* static_ids, std::size_t s,
                std::int64_t* out_keys, std::int64_t* out_ids) noexcept;

}  // namespace vb::maintenance
