#include "query/radius_rows.h"

#include "pool/pool.h"

namespace vb::query {

RadiusResult assemble_rows(std::vector<FoundRows>& pieces, std::size_t m, Metric metric) {
  RadiusResult result;
  result.indptr.assign(m + 1, 0);
  for (const FoundRows& piece : pieces) {
    for (std::size_t i = 0; i < piece.rows.size(); ++i) {
      result.indptr[piece.rows[i] + 1] = static_cast<std::int64_t>(piece.counts[i]);
    }
  }
  for (std::size_t i = 0; i < m; ++i) result.indptr[i + 1] += result.indptr[i];
  const auto total = static_cast<std::size_t>(result.indptr[m]);
  result.ids.resize(total);
  result.dists.resize(total);
  pool::parallel_for(pieces.size(), 1, [&](std::size_t p0, std::size_t p1) {
    for (std::size_t p = p0; p < p1; ++p) {
      FoundRows& piece = pieces[p];
      const Entry* from = piece.entries.data();
      for (std::size_t i = 0; i < piece.rows.size(); ++i) {
        const auto at = static_cast<std::size_t>(result.indptr[piece.rows[i]]);
        for (std::size_t j = 0; j < piece.counts[i]; ++j) {
          result.ids[at + j] = from[j].id;
          result.dists[at + j] = static_cast<double>(reported_distance(from_bits(from[j].dist_bits), metric));
        }
        from += piece.counts[i];
      }
      std::vector<Entry>().swap(piece.entries);
    }
  });
  return result;
}

}  // namespace vb::query
