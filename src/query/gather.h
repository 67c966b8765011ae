#pragma once

#include <cstddef>
#include <cstdint>

#include "index/index.h"
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

// Appends to ws.cand_ids, de-duplicated against the current gather, the ids
// of every entry of table t, in both tiers (static first), whose key lies in
// [lo, lo + width). Neither starts a new gather nor clears the list.
void gather_range(const index::Index& index, Ws& ws, std::size_t t, std::int64_t lo, std::int64_t width);

}  // namespace vb::query
