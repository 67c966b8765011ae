#pragma once

#include <cstdint>

#include "index/index.h"
#include "query/topk.h"
#include "query/workspace.h"

// Exact refinement of gathered candidates into the top-k collector.
namespace vb::query {

// Measures every candidate of ws.cand_ids (distinct ids, as the gather lists
// them) except `exclude` against the query
// in ws.query_f32 (single-precision toroidal L1 over min(d, dq) coordinates,
// read from points_f32) and offers it to the collector. Does not reset the
// collector: the caller sets topk.len = 0 before the first call of a query.
// Throws InternalError when the index's single-precision coordinates do not
// cover its points (a corrupted index).
// Thread safe for distinct workspaces and collectors.
void refine_topk(const index::Index& index, Ws& ws, TopK& topk, std::int64_t exclude);

// The bar of the collector in code units: a candidate whose code bound
// exceeds it has a distance strictly above the worst kept entry and cannot
// enter. INT64_MAX while the collector has room.
std::int64_t refine_bar(const index::Index& index, const TopK& topk);

}  // namespace vb::query
