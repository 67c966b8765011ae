#include <algorithm>
#include <optional>

#include "pool/pool.h"
#include "query/blocked.h"
#include "query/clock.h"
#include "query/knn.h"
#include "query/profile.h"
#include "query/relax.h"
#include "query/topk.h"
#include "query/workspace.h"

namespace vb::query {

namespace {

// One task's share of the blocks: a block workspace, and for the rows that
// come up short a per-query workspace made on first need and a collector.
void run_blocks(const index::Index& index, const double* queries, std::size_t m, std::size_t dq, std::size_t k,
                const std::int64_t* exclude, std::int64_t* out_ids, double* out_dists, std::size_t per_block,
                std::size_t b0, std::size_t b1) {
  BWs ws;
  std::optional<Ws> relax_ws;
  TopK topk(std::min(k, index.n_points));
  Profile profile;
  for (std::size_t blk = b0; blk < b1; ++blk) {
    const std::size_t row0 = blk * per_block;
    const std::size_t rows = std::min(per_block, m - row0);
    const double* q0 = queries + row0 * dq;
    const std::uint64_t t0 = now_ns();
    const std::uint64_t pairs =
        query_block(index, ws, q0, rows, dq, k, exclude != nullptr ? exclude + row0 : nullptr);
    const std::uint64_t t1 = now_ns();
    std::uint64_t relaxed = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t i = row0 + r;
      const std::int64_t excluded = ws.exclude[r];
      const std::size_t k_eff = row_k_eff(k, index.n_points, excluded);
      if (ws.counts[r] >= k_eff) {
        write_row(ws.heaps.data() + r * ws.cap, ws.counts[r], k, out_ids + i * k, out_dists + i * k);
        continue;
      }
      if (!relax_ws) relax_ws.emplace(index.n_points, dq, index.k);
      relax_ws->set_query(q0 + r * dq);
      relax_query(index, *relax_ws, topk, q0 + r * dq, dq, k, excluded, k_eff);
      write_row(topk.heap.data(), topk.len, k, out_ids + i * k, out_dists + i * k);
      ++relaxed;
    }
    const std::uint64_t t2 = now_ns();
    profile.refine_ns += elapsed_ns(t0, t1);
    profile.relax_ns += elapsed_ns(t1, t2);
    profile.pairs += pairs;
    profile.queries += rows;
    profile.relaxed += relaxed;
  }
  profile.add_to(index);
}

}  // namespace

std::size_t rows_per_block(std::size_t m, std::size_t block, std::size_t threads) {
  const std::size_t t = std::max<std::size_t>(threads, 1);
  const std::size_t share = std::max<std::size_t>(1, (m + t - 1) / t);
  return block > 0 ? std::min(block, share) : share;
}

void knn_batched(const index::Index& index, const double* queries, std::size_t m, std::size_t dq, std::size_t k,
                 const std::int64_t* exclude, std::int64_t* out_ids, double* out_dists) {
  const std::size_t per_block = rows_per_block(m, index.block, pool::num_threads());
  const std::size_t blocks = (m + per_block - 1) / per_block;
  pool::parallel_for(blocks, 1, [&](std::size_t b0, std::size_t b1) {
    run_blocks(index, queries, m, dq, k, exclude, out_ids, out_dists, per_block, b0, b1);
  });
}

}  // namespace vb::query
