#include "query/by_ids.h"

#include <algorithm>
#include <string>

#include "base/checked_size.h"
#include "base/errors.h"
#include "pool/pool.h"
#include "query/knn.h"

namespace vb::query {

void check_point_ids(const index::Index& index, const std::int64_t* ids, std::size_t m) {
  for (std::size_t i = 0; i < m; ++i) {
    if (ids[i] >= 0 && static_cast<std::uint64_t>(ids[i]) < index.n_points) continue;
    const std::string known =
        index.n_points == 0 ? "no point is indexed" : "0 to " + std::to_string(index.n_points - 1);
    throw ArgumentError("ids[" + std::to_string(i) + "] = " + std::to_string(ids[i]) +
                        " does not name an indexed point (" + known + ")");
  }
}

Buffer<double> rows_of_ids(const index::Index& index, const std::int64_t* ids, std::size_t m) {
  const std::size_t d = index.d;
  Buffer<double> rows(checked_mul(m, d));
  constexpr std::size_t kGrain = 4096;
  pool::parallel_for(m, kGrain, [&](std::size_t i0, std::size_t i1) {
    for (std::size_t i = i0; i < i1; ++i) {
      const double* from = index.points.data() + static_cast<std::size_t>(ids[i]) * d;
      std::copy(from, from + d, rows.data() + i * d);
    }
  });
  return rows;
}

void query_knn_ids(const index::Index& index, Counters& counters, const std::int64_t* ids, std::size_t m,
                   std::size_t k, std::int64_t* out_ids, double* out_dists) {
  check_point_ids(index, ids, m);
  const Buffer<double> rows = rows_of_ids(index, ids, m);
  query_knn(index, counters, {{rows.data(), m, index.d, k, ids}, out_ids, out_dists});
}

RadiusResult query_radius_ids(const index::Index& index, const std::int64_t* ids, std::size_t m, double radius) {
  check_point_ids(index, ids, m);
  const Buffer<double> rows = rows_of_ids(index, ids, m);
  return query_radius(index, rows.data(), m, index.d, radius, ids);
}

}  // namespace vb::query
