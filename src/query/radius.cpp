#include "query/radius.h"

#include <algorithm>
#include <vector>

#include "pool/cancel.h"
#include "pool/pool.h"
#include "query/distance.h"
#include "query/gather.h"
#include "query/row_grain.h"
#include "query/topk.h"
#include "query/workspace.h"

namespace vb::query {

namespace {

using Row = std::vector<Entry>;

// Rows r0 .. r1 - 1 on one workspace; `kept` is the task's scratch row.
void radius_rows(const index::Index& index, const double* queries, std::size_t dq, float threshold,
                 const std::int64_t* exclude, std::vector<Row>& rows, std::size_t r0, std::size_t r1) {
  Ws ws(index.n_points, dq, index.k);
  Row kept;
  const DistanceKernel& kernel = distance_kernel(cpu_level(), index.metric, !index.scale.empty());
  const std::size_t n = std::min(index.d, dq);
  for (std::size_t i = r0; i < r1; ++i) {
    pool::cancellation_point();
    const double* q = queries + i * dq;
    const std::int64_t excluded = exclude != nullptr ? exclude[i] : -1;
    ws.set_query(q);
    gather_query(index, ws, q, dq);
    const std::size_t count = ws.cand_ids.size();
    ws.cand_dist.resize(count);
    kernel.list(ws.query_f32.data(), index.points_f32.data(), index.d, n, ws.cand_ids.data(), count,
                index.scale_or_null(), ws.cand_dist.data());
    kept.clear();
    for (std::size_t c = 0; c < count; ++c) {
      const auto id = static_cast<std::int64_t>(ws.cand_ids[c]);
      // A NaN distance or threshold fails the comparison and keeps nothing.
      if (id != excluded && ws.cand_dist[c] <= threshold) kept.push_back({to_bits(ws.cand_dist[c]), id});
    }
    if (kept.empty()) continue;
    std::sort(kept.begin(), kept.end(), nearer);
    rows[i].assign(kept.begin(), kept.end());
  }
}

}  // namespace

float radius_threshold(double radius, Metric metric) { return summed_bound(radius, metric); }

RadiusResult query_radius(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                          double radius, const std::int64_t* exclude) {
  RadiusResult result;
  result.indptr.resize(m + 1);
  std::vector<Row> rows(index.n_points > 0 ? m : 0);
  if (!rows.empty()) {
    const float threshold = radius_threshold(radius, index.metric);
    pool::parallel_for(m, row_grain(m), [&](std::size_t r0, std::size_t r1) {
      radius_rows(index, queries, dq, threshold, exclude, rows, r0, r1);
    });
  }
  result.indptr[0] = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const std::size_t len = rows.empty() ? 0 : rows[i].size();
    result.indptr[i + 1] = result.indptr[i] + static_cast<std::int64_t>(len);
  }
  const auto total = static_cast<std::size_t>(result.indptr[m]);
  result.ids.resize(total);
  result.dists.resize(total);
  std::size_t at = 0;
  for (Row& row : rows) {
    for (const Entry& e : row) {
      result.ids[at] = e.id;
      result.dists[at] = static_cast<double>(reported_distance(from_bits(e.dist_bits), index.metric));
      ++at;
    }
    Row().swap(row);  // give each row back as soon as it is copied
  }
  return result;
}

}  // namespace vb::query
