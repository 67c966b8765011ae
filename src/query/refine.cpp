#include "query/refine.h"

#include <algorithm>

#include "base/errors.h"

namespace vb::query {

void refine_topk(const index::Index& index, Ws& ws, TopK& topk, std::int64_t exclude) {
  const std::size_t count = ws.cand_ids.size();
  if (count == 0) return;
  VB_CHECK(index.points_f32.size() / std::max<std::size_t>(index.d, 1) >= index.n_points &&
               ws.mark.size() <= index.n_points,
           "candidate rows lie outside the single-precision coordinates");
  const std::size_t n = std::min(index.d, ws.query_f32.size());
  ws.cand_dist.resize(count);
  index.kernels.list(ws.query_f32.data(), index.points_f32.data(), index.d, n, ws.cand_ids.data(), count,
            index.scale_or_null(), ws.cand_dist.data());
  const std::uint64_t* ids = ws.cand_ids.data();
  const float* dist = ws.cand_dist.data();
  // The gather lists each point once, so no offer needs the collector's
  // duplicate scan. An empty collector is filled first and ordered into a heap
  // once, in time linear in its size: with k near the candidate count most
  // offers land there.
  std::size_t i = 0;
  Entry* slots = topk.heap.data();
  if (topk.len == 0) {
    for (; i < count && topk.len < topk.cap(); ++i) {
      const Entry entry{to_bits(dist[i]), static_cast<std::int64_t>(ids[i])};
      if (entry.id != exclude) slots[topk.len++] = entry;
    }
    std::make_heap(slots, slots + topk.len, nearer);
  }
  for (; i < count; ++i) {
    const Entry entry{to_bits(dist[i]), static_cast<std::int64_t>(ids[i])};
    if (entry.id == exclude || !topk.admits(entry)) continue;
    heap_offer_new(slots, topk.cap(), topk.len, entry.dist_bits, entry.id);
  }
}

}  // namespace vb::query
