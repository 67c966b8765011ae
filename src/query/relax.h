#pragma once

#include <cstddef>
#include <cstdint>

#include "index/index.h"
#include "query/topk.h"
#include "query/workspace.h"

// Relaxation: a second, wider search for a query whose normal search came up short.
namespace vb::query {

// The coarsening level for a query with base keys `keys` (one per table): the
// first L in 1 .. k - 1 whose widened cells (every key that agrees with the
// base key in digits L .. k - 1, an interval of b^L keys) hold at least
// 4 × need entries, counted over all tables and both tiers; k when none does.
// Counts table entries, not distinct points. Touches no point data.
std::size_t relax_level(const index::Index& index, const std::int64_t* keys, std::size_t need);

// Widens the cells of one query row `q` (dq values) and refines again from
// scratch. The level is relax_level's; should the collector still hold fewer
// than `keep_at_least` entries after refining, the next level up is gathered
// afresh, up to level k, where table 0's whole key space lists every point once.
// On return ws.cand_ids holds the last widened list and the collector the best
// min(need, distinct candidates other than `exclude`) entries of it.
// Requires: ws.query_f32 holds the query rounded to single precision; the
// collector has min(need, n_points) slots or more; index.k >= 1, index.l >= 1
// (else InternalError).
void relax_query(const index::Index& index, Ws& ws, TopK& topk, const double* q, std::size_t dq, std::size_t need,
                 std::int64_t exclude, std::size_t keep_at_least);

}  // namespace vb::query
