#include "query/radius.h"

#include <algorithm>
#include <vector>

#include "kernels/code_bound.h"
#include "pool/cancel.h"
#include "pool/pool.h"
#include "query/blocked.h"
#include "query/gather.h"
#include "query/lent_workspace.h"
#include "query/radius_rows.h"
#include "query/row_grain.h"
#include "query/topk.h"
#include "query/workspace.h"

namespace vb::query {

namespace {

// Rows r0 .. r1 - 1 on one workspace, each row's kept entries appended to
// the piece sorted.
void gathered_rows(const index::Index& index, const double* queries, std::size_t dq, float threshold,
                   const std::int64_t* exclude, std::size_t r0, std::size_t r1, FoundRows& piece) {
  LentWs lent(index.n_points, dq, index.k);
  Ws& ws = *lent;
  const std::size_t n = std::min(index.d, dq);
  for (std::size_t i = r0; i < r1; ++i) {
    pool::cancellation_point();
    const double* q = queries + i * dq;
    const std::int64_t excluded = exclude != nullptr ? exclude[i] : -1;
    ws.set_query(q);
    gather_query(index, ws, q, dq);
    const std::uint64_t* ids = ws.cand_ids.data();
    std::size_t count = ws.cand_ids.size();
    if (ws.bounded) {
      // A candidate whose code bound exceeds the bar lies strictly beyond
      // the radius and needs no distance.
      const std::int64_t bar = kernels::code_limit(threshold, index.kernels.code_scale);
      ws.picked.clear();
      for (std::size_t c = 0; c < count; ++c) {
        if (ws.cand_bound[c] <= bar) ws.picked.push_back(ws.cand_ids[c]);
      }
      ids = ws.picked.data();
      count = ws.picked.size();
    }
    ws.cand_dist.resize(count);
    index.kernels.list(ws.query_f32.data(), index.points_f32.data(), index.d, n, ids, count,
                index.scale_or_null(), ws.cand_dist.data());
    const std::size_t first = piece.entries.size();
    for (std::size_t c = 0; c < count; ++c) {
      const auto id = static_cast<std::int64_t>(ids[c]);
      // A NaN distance or threshold fails the comparison and keeps nothing.
      if (id != excluded && ws.cand_dist[c] <= threshold) piece.entries.push_back({to_bits(ws.cand_dist[c]), id});
    }
    std::sort(piece.entries.begin() + static_cast<std::ptrdiff_t>(first), piece.entries.end(), nearer);
    piece.rows.push_back(i);
    piece.counts.push_back(piece.entries.size() - first);
  }
}

}  // namespace

float radius_threshold(double radius, Metric metric) { return summed_bound(radius, metric); }

RadiusResult radius_gathered(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                             double radius, const std::int64_t* exclude) {
  const float threshold = radius_threshold(radius, index.metric);
  const std::size_t grain = row_grain(m);
  std::vector<FoundRows> pieces(index.n_points > 0 ? (m + grain - 1) / grain : 0);
  pool::parallel_for(pieces.size(), 1, [&](std::size_t p0, std::size_t p1) {
    for (std::size_t p = p0; p < p1; ++p) {
      gathered_rows(index, queries, dq, threshold, exclude, p * grain, std::min(m, (p + 1) * grain), pieces[p]);
    }
  });
  return assemble_rows(pieces, m, index.metric);
}

bool radius_tiled_applies(const index::Index& index, std::size_t m) {
  if (m < kRadiusTileMinRows || index.block == 1) return false;
  const std::size_t rows = rows_per_block(m, index.block, pool::num_threads());
  // Whether b^k <= rows, without forming b^k (it may exceed 64 bits).
  const auto b = static_cast<std::size_t>(std::max<std::int64_t>(index.b, 1));
  std::size_t cells = 1;
  for (std::size_t j = 0; j < index.k; ++j) {
    if (cells > rows / b) return false;
    cells *= b;
  }
  return true;
}

RadiusResult query_radius(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                          double radius, const std::int64_t* exclude) {
  if (radius_tiled_applies(index, m)) return radius_tiled(index, queries, m, dq, radius, exclude);
  return radius_gathered(index, queries, m, dq, radius, exclude);
}

}  // namespace vb::query
