#include "query/blocked.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "pool/cancel.h"
#include "pool/pool.h"
#include "query/bucket_walk.h"
#include "query/clock.h"
#include "query/knn_request.h"
#include "query/profile.h"
#include "query/query_codes.h"
#include "query/relax.h"
#include "query/topk.h"
#include "query/workspace.h"

namespace vb::query {

namespace {

// One task's share of the blocks: a block workspace, and for the rows that
// come up short a per-query workspace made on first need and a collector.
// Block blk holds the rows order[blk * per_block ...], or the consecutive
// rows from blk * per_block when there is no order.
void run_blocks(const index::Index& index, Counters& counters, const KnnRequest& request, std::size_t per_block,
                const std::vector<std::size_t>& order, std::size_t b0, std::size_t b1) {
  const double* queries = request.queries;
  const std::size_t m = request.m;
  const std::size_t dq = request.dq;
  const std::size_t k = request.k;
  const std::int64_t* exclude = request.exclude;
  std::int64_t* out_ids = request.out_ids;
  double* out_dists = request.out_dists;
  BWs ws;
  BlockRows block_rows;
  std::optional<Ws> relax_ws;
  TopK topk(std::min(k, index.n_points));
  Profile profile;
  for (std::size_t blk = b0; blk < b1; ++blk) {
    const std::size_t row0 = blk * per_block;
    const std::size_t rows = std::min(per_block, m - row0);
    block_rows.select(queries, exclude, dq, order, row0, rows);
    const std::uint64_t t0 = now_ns();
    const std::uint64_t pairs = query_block(index, ws, KnnRows{block_rows.rows, rows, dq, k, block_rows.exclude});
    const std::uint64_t t1 = now_ns();
    std::uint64_t relaxed = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t i = BlockRows::batch_row(order, row0, r);
      const std::int64_t excluded = ws.exclude[r];
      const std::size_t k_eff = row_k_eff(k, index.n_points, excluded);
      if (ws.counts[r] >= k_eff) {
        write_row(ws.heaps.data() + r * ws.cap, ws.counts[r], k, out_ids + i * k, out_dists + i * k, index.metric);
        continue;
      }
      pool::cancellation_point();
      if (!relax_ws) relax_ws.emplace(index.n_points, dq, index.k);
      const double* q = block_rows.rows + r * dq;
      relax_ws->set_query(q);
      relax_query(index, *relax_ws, topk, q, dq, k, excluded, k_eff);
      write_row(topk.heap.data(), topk.len, k, out_ids + i * k, out_dists + i * k, index.metric);
      ++relaxed;
    }
    const std::uint64_t t2 = now_ns();
    profile.refine_ns += elapsed_ns(t0, t1);
    profile.relax_ns += elapsed_ns(t1, t2);
    profile.pairs += pairs;
    profile.queries += rows;
    profile.relaxed += relaxed;
  }
  profile.add_to(counters);
}

}  // namespace

std::vector<std::size_t> locality_order(const index::Index& index, const double* queries, std::size_t m,
                                        std::size_t dq) {
  std::vector<std::size_t> order(m);
  if (m > std::numeric_limits<std::uint32_t>::max()) {
    // Beyond the row numbers of a row key: hashed row by row and sorted by comparison.
    std::vector<std::pair<std::int64_t, std::size_t>> keyed(m);
    pool::parallel_for(m, 1024, [&](std::size_t i0, std::size_t i1) {
      std::vector<std::int64_t> codes(index.k);
      std::vector<double> frac(index.k);
      for (std::size_t i = i0; i < i1; ++i) {
        keyed[i] = {query_codes(index, queries + i * dq, dq, 0, codes.data(), frac.data()), i};
      }
    });
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < m; ++i) order[i] = keyed[i].second;
    return order;
  }
  // The blocks' own hashing, a stretch of rows at a time, and their radix
  // sort: a comparison sort of the pairs cost more than all the hashing.
  std::vector<RowKey> keys(m);
  BlockCodes block;
  for (std::size_t first = 0; first < m; first += kHashStretch) {
    pool::cancellation_point();
    const std::size_t count = std::min(kHashStretch, m - first);
    block.set_rows(queries + first * dq, count, dq);
    block_codes(index, block, dq, 0, 0, count);
    for (std::size_t i = 0; i < count; ++i) keys[first + i] = {block.base[i], static_cast<std::uint32_t>(first + i)};
  }
  std::vector<RowKey> scratch;
  sort_row_keys(keys, scratch);
  for (std::size_t i = 0; i < m; ++i) order[i] = keys[i].row;
  return order;
}

void BlockRows::select(const double* all, const std::int64_t* all_exclude, std::size_t dq,
                       const std::vector<std::size_t>& order, std::size_t row0, std::size_t count) {
  if (order.empty()) {
    rows = all + row0 * dq;
    exclude = all_exclude != nullptr ? all_exclude + row0 : nullptr;
    return;
  }
  copied_rows_.resize(count * dq);
  copied_exclude_.clear();
  for (std::size_t r = 0; r < count; ++r) {
    const std::size_t i = order[row0 + r];
    std::copy(all + i * dq, all + i * dq + dq, copied_rows_.begin() + static_cast<std::ptrdiff_t>(r * dq));
    if (all_exclude != nullptr) copied_exclude_.push_back(all_exclude[i]);
  }
  rows = copied_rows_.data();
  exclude = all_exclude != nullptr ? copied_exclude_.data() : nullptr;
}

std::size_t rows_per_block(std::size_t m, std::size_t block, std::size_t threads) {
  const std::size_t t = std::max<std::size_t>(threads, 1);
  const std::size_t share = std::max<std::size_t>(1, (m + t - 1) / t);
  return block > 0 ? std::min(block, share) : share;
}

void knn_blocked(const index::Index& index, Counters& counters, const KnnRequest& request) {
  const std::size_t m = request.m;
  const std::size_t per_block = rows_per_block(m, index.block, pool::num_threads());
  const std::size_t blocks = (m + per_block - 1) / per_block;
  // With one block the order of its rows changes nothing.
  const std::vector<std::size_t> order =
      blocks > 1 && index.l > 0 ? locality_order(index, request.queries, m, request.dq) : std::vector<std::size_t>{};
  pool::parallel_for(blocks, 1, [&](std::size_t b0, std::size_t b1) {
    run_blocks(index, counters, request, per_block, order, b0, b1);
  });
}

}  // namespace vb::query
