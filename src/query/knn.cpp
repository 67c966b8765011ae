#include "query/knn.h"

#include <algorithm>
#include <limits>

#include "pool/cancel.h"
#include "pool/pool.h"
#include "query/blocked.h"
#include "query/clock.h"
#include "query/gather.h"
#include "query/lent_workspace.h"
#include "query/profile.h"
#include "query/relax.h"
#include "query/row_grain.h"
#include "query/topk.h"
#include "query/workspace.h"

namespace vb::query {

namespace {

void knn_rows(const index::Index& index, Counters& counters, const KnnRequest& request, std::size_t r0,
              std::size_t r1) {
  const std::size_t dq = request.dq;
  const std::size_t k = request.k;
  LentWs lent(index.n_points, dq, index.k);
  Ws& ws = *lent;
  TopK topk(std::min(k, index.n_points));  // never more distinct points than that
  Profile profile;
  for (std::size_t i = r0; i < r1; ++i) {
    pool::cancellation_point();
    const double* q = request.row(i);
    const std::int64_t excluded = request.excluded(i);
    ws.set_query(q);
    const std::uint64_t t0 = now_ns();
    topk.len = 0;
    const std::uint64_t measuring = gather_refine_query(index, ws, topk, q, dq, excluded);
    const std::uint64_t t2 = now_ns();
    // Measuring runs inside the gather: its time is told apart from the rest.
    const std::uint64_t t1 = t2 - std::min(measuring, elapsed_ns(t0, t2));
    profile.cands += ws.listed;
    profile.pairs += ws.listed;
    const std::size_t k_eff = row_k_eff(k, index.n_points, excluded);
    if (topk.len < k_eff) {
      relax_query(index, ws, topk, q, dq, k, excluded, k_eff);
      profile.relax_ns += elapsed_ns(t2, now_ns());
      profile.relaxed += 1;
    }
    write_row(topk.heap.data(), topk.len, k, request.out_ids + i * k, request.out_dists + i * k, index.metric);
    profile.gather_ns += elapsed_ns(t0, t1);
    profile.refine_ns += elapsed_ns(t1, t2);
    profile.queries += 1;
  }
  profile.add_to(counters);
}

void fill_padding(std::int64_t* out_ids, double* out_dists, std::size_t count) {
  std::fill(out_ids, out_ids + count, std::int64_t{-1});
  std::fill(out_dists, out_dists + count, std::numeric_limits<double>::infinity());
}

}  // namespace

bool blocked_path_applies(const index::Index& index, std::size_t m) {
  return m >= kBlockedMinRows && index.block != 1;
}

void knn_per_query(const index::Index& index, Counters& counters, const KnnRequest& request) {
  pool::parallel_for(request.m, row_grain(request.m), [&](std::size_t r0, std::size_t r1) {
    knn_rows(index, counters, request, r0, r1);
  });
}

void query_knn(const index::Index& index, Counters& counters, const KnnRequest& request) {
  if (request.m == 0 || request.k == 0) return;
  if (index.n_points == 0) {
    fill_padding(request.out_ids, request.out_dists, request.m * request.k);
    Profile answered;
    answered.queries = request.m;
    answered.add_to(counters);
    return;
  }
  if (blocked_path_applies(index, request.m) && request.k <= kBlockedMaxK) {
    knn_blocked(index, counters, request);
  } else {
    knn_per_query(index, counters, request);
  }
}

}  // namespace vb::query
