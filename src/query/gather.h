#pragma once

#include <cstddef>
#include <cstdint>

#include "index/index.h"
#include "query/topk.h"
#include "query/workspace.h"

// Candidate gathering: the points that share a cell with a query.
namespace vb::query {

// The normal gather of one query row `q` (dq values): starts a new gather on
// the workspace, lists per table the base key and the probe keys
// (ws.probe_keys, table 0 first) and fills ws.cand_ids with every point of
// either tier that has one of those keys in that table, each point once. Order:
// the static tier's discoveries first, in listed-key order and run order within
// a bucket; then the candidate tier's new ones in the same order. A point met
// again keeps its first position. No id is excluded here.
// Throws InternalError for a digit column at or beyond dq, or (only on a
// corrupted index) an id beyond n_points or a key outside the offsets.
// Requires: ws was made for index.n_points points and index.k digits.
// Thread safe for distinct workspaces (reads the index only).
void gather_query(const index::Index& index, Ws& ws, const double* q, std::size_t dq);

// gather_query and refine_topk of its candidates into `topk` (not reset:
// the caller sets topk.len = 0 first), fused where the candidates have code
// bounds: the candidates of the first table's keys are measured as soon as
// they are listed, and a later entry whose bound proves it beyond the
// collector's worst kept entry is neither listed nor measured. The collector
// ends as after gather_query and refine_topk, and ws.listed counts the same
// distinct points (gather_query counts them too), but ws.cand_ids then holds
// none of them. Returns the nanoseconds spent measuring. Same throws and
// requirements as either.
std::uint64_t gather_refine_query(const index::Index& index, Ws& ws, TopK& topk, const double* q, std::size_t dq,
                                  std::int64_t exclude);

// Appends to ws.cand_ids, de-duplicated against the current gather, the ids
// of every entry of table t, in both tiers (static first), whose key lies in
// [lo, lo + width). Neither starts a new gather nor clears the list.
void gather_range(const index::Index& index, Ws& ws, std::size_t t, std::int64_t lo, std::int64_t width);

}  // namespace vb::query
