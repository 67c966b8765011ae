#include "query/refine.h"

#include <algorithm>

#include "base/errors.h"
#include "query/distance.h"

namespace vb::query {

void refine_topk(const index::Index& index, Ws& ws, TopK& topk, std::int64_t exclude) {
  const std::size_t count = ws.cand_ids.size();
  if (count == 0) return;
  VB_CHECK(index.points_f32.size() / std::max<std::size_t>(index.d, 1) >= index.n_points &&
               ws.mark.size() <= index.n_points,
           "candidate rows lie outside the single-precision coordinates");
  const std::size_t n = std::min(index.d, ws.query_f32.size());
  ws.cand_dist.resize(count);
  distance_kernel().list(ws.query_f32.data(), index.points_f32.data(), index.d, n, ws.cand_ids.data(), count,
                         ws.cand_dist.data());
  const std::uint64_t* ids = ws.cand_ids.data();
  const float* dist = ws.cand_dist.data();
  for (std::size_t i = 0; i < count; ++i) {
    const Entry entry{to_bits(dist[i]), static_cast<std::int64_t>(ids[i])};
    if (entry.id == exclude || !topk.admits(entry)) continue;
    heap_offer(topk.heap.data(), topk.cap(), topk.len, entry.dist_bits, entry.id);
  }
}

}  // namespace vb::query
