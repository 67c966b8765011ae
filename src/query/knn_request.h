#pragma once

#include <cstddef>
#include <cstdint>

// What a k-nearest-neighbour search is asked: the rows, k, the excluded ids
// and where the answers go.
namespace vb::query {

// m query rows (row-major, dq values each), the k wanted per row and, when
// exclude is not null, one id per row that the row never returns.
struct KnnRows {
  const double* queries = nullptr;
  std::size_t m = 0;
  std::size_t dq = 0;
  std::size_t k = 0;
  const std::int64_t* exclude = nullptr;

  const double* row(std::size_t i) const { return queries + i * dq; }
  std::int64_t excluded(std::size_t i) const { return exclude != nullptr ? exclude[i] : -1; }
};

// The most neighbours one row can have: min(k, n_points - 1) when the row's
// excluded id names a point of the index (0 <= id < n_points), else
// min(k, n_points); 0 on an empty index. A row whose search ends below it is
// relaxed.
inline std::size_t row_k_eff(std::size_t k, std::size_t n_points, std::int64_t excluded) {
  if (n_points == 0) return 0;
  const bool names_point = excluded >= 0 && static_cast<std::uint64_t>(excluded) < n_points;
  const std::size_t most = names_point ? n_points - 1 : n_points;
  return k < most ? k : most;
}

// A whole call: its rows and the m × k outputs, row i of each from i × k.
struct KnnRequest : KnnRows {
  std::int64_t* out_ids = nullptr;
  double* out_dists = nullptr;
};

}  // namespace vb::query
