#include "query/refine.h"

#include <algorithm>
#include <limits>

#include "base/errors.h"
#include "kernels/code_bound.h"

namespace vb::query {

namespace {

// Candidates of the bounded refinement measured together once the collector
// is full: enough for the distance kernel's prefetching to run ahead, few
// enough that the bar they are picked against stays close to the current one.
constexpr std::size_t kPickChunk = 16;

// Single-precision distances of `count` ids to the query into ws.cand_dist.
const float* measure(const index::Index& index, Ws& ws, const std::uint64_t* ids, std::size_t count) {
  const std::size_t n = std::min(index.d, ws.query_f32.size());
  ws.cand_dist.resize(count);
  index.kernels.list(ws.query_f32.data(), index.points_f32.data(), index.d, n, ids, count, index.scale_or_null(),
                     ws.cand_dist.data());
  return ws.cand_dist.data();
}

// Offers measured candidates, distinct ids that no slot holds, except
// `exclude`. An empty collector is filled first and put in order once (a
// heap in time linear in its size): with k near the candidate count most
// offers land there.
void offer_all(TopK& topk, const std::uint64_t* ids, const float* dist, std::size_t count, std::int64_t exclude) {
  std::size_t i = 0;
  Entry* slots = topk.heap.data();
  if (topk.len == 0) {
    for (; i < count && topk.len < topk.cap(); ++i) {
      const Entry entry{to_bits(dist[i]), static_cast<std::int64_t>(ids[i])};
      if (entry.id != exclude) slots[topk.len++] = entry;
    }
    order_collector(slots, topk.cap(), topk.len);
  }
  for (; i < count; ++i) {
    const Entry entry{to_bits(dist[i]), static_cast<std::int64_t>(ids[i])};
    if (entry.id == exclude || !topk.admits(entry)) continue;
    heap_offer_new(slots, topk.cap(), topk.len, entry.dist_bits, entry.id);
  }
}

void measure_and_offer(const index::Index& index, Ws& ws, TopK& topk, const std::uint64_t* ids, std::size_t count,
                       std::int64_t exclude) {
  if (count == 0) return;
  offer_all(topk, ids, measure(index, ws, ids, count), count, exclude);
}

// The candidates in gather order, measured kPickChunk at a time, each only
// when its bound is within the bar of the collector as it stood after the
// last chunk; the bar falls as nearer entries arrive. The gather lists the
// query's own cells first, so the first chunks set a near bar. A candidate
// left out has a distance above an entry the collector keeps to the end, so
// the kept entries are those of measuring every candidate, and a collector
// that never fills has measured them all.
void refine_by_bounds(const index::Index& index, Ws& ws, TopK& topk, std::int64_t exclude) {
  const std::size_t count = ws.cand_ids.size();
  const std::uint64_t* ids = ws.cand_ids.data();
  const std::uint32_t* bounds = ws.cand_bound.data();
  std::vector<std::uint64_t>& picked = ws.picked;
  picked.clear();
  std::int64_t bar = refine_bar(index, topk);
  const float* points = index.points_f32.data();
  for (std::size_t i = 0; i < count; ++i) {
    if (bounds[i] > bar) continue;
    // The row is requested as soon as the candidate is picked, so that its
    // miss overlaps with picking the rest of the chunk.
    __builtin_prefetch(points + ids[i] * index.d);
    picked.push_back(ids[i]);
    if (picked.size() == kPickChunk) {
      measure_and_offer(index, ws, topk, picked.data(), picked.size(), exclude);
      bar = refine_bar(index, topk);
      picked.clear();
    }
  }
  measure_and_offer(index, ws, topk, picked.data(), picked.size(), exclude);
}

}  // namespace

std::int64_t refine_bar(const index::Index& index, const TopK& topk) {
  if (topk.len < topk.cap()) return std::numeric_limits<std::int64_t>::max();
  return kernels::code_limit(from_bits(topk.heap[0].dist_bits), index.kernels.code_scale);
}

void refine_topk(const index::Index& index, Ws& ws, TopK& topk, std::int64_t exclude) {
  const std::size_t count = ws.cand_ids.size();
  if (count == 0) return;
  VB_CHECK(index.points_f32.size() / std::max<std::size_t>(index.d, 1) >= index.n_points &&
               ws.mark.size() <= index.n_points,
           "candidate rows lie outside the single-precision coordinates");
  if (topk.cap() == 0) return;
  // With no more candidates than free slots every one is measured anyway.
  if (ws.bounded && count > topk.cap() - topk.len) {
    VB_CHECK(ws.cand_bound.size() == count, "every candidate has a bound");
    refine_by_bounds(index, ws, topk, exclude);
    return;
  }
  measure_and_offer(index, ws, topk, ws.cand_ids.data(), count, exclude);
}

}  // namespace vb::query
