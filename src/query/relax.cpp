#include "query/relax.h"

#include <utility>

#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "query/gather.h"
#include "query/query_codes.h"
#include "query/refine.h"

namespace vb::query {

namespace {

// Start of the interval of `width` keys that holds `key`: key - (key rem width),
// the remainder truncated toward zero like the signed division it comes from.
std::int64_t interval_start(std::int64_t key, std::int64_t width) {
  VB_CHECK(width != 0, "attempt to calculate the remainder with a divisor of zero");
  if (width == -1) return key;  // the remainder is 0; INT64_MIN % -1 would trap
  return key - key % width;
}

std::size_t range_size(std::pair<std::size_t, std::size_t> range) { return range.second - range.first; }

}  // namespace

std::size_t relax_level(const index::Index& index, const std::int64_t* keys, std::size_t need) {
  // need * 4 saturates: a request that large is never met by a count of entries.
  const unsigned __int128 wanted = static_cast<unsigned __int128>(need) * 4;
  const bool has_cand = index.n_cand() > 0;
  for (std::size_t level = 1; level < index.k; ++level) {
    const std::int64_t width = index.b_pow[level];
    unsigned __int128 total = 0;
    for (std::size_t t = 0; t < index.l; ++t) {
      const std::int64_t lo = interval_start(keys[t], width);
      total += range_size(index::static_range(index, t, lo, width));
      if (has_cand) total += range_size(index::cand_range(index, t, lo, width));
    }
    if (total >= wanted) return level;
  }
  return index.k;
}

void relax_query(const index::Index& index, Ws& ws, TopK& topk, const double* q, std::size_t dq, std::size_t need,
                 std::int64_t exclude, std::size_t keep_at_least) {
  VB_CHECK(index.k >= 1 && index.l >= 1, "relaxation needs at least one table and one digit");
  ws.base_keys.resize(index.l);
  for (std::size_t t = 0; t < index.l; ++t) {
    ws.base_keys[t] = query_codes(index, q, dq, t, ws.codes.data(), ws.frac.data());
  }
  std::size_t level = relax_level(index, ws.base_keys.data(), need);
  for (;;) {
    ws.begin_gather();
    if (level < index.k) {
      const std::int64_t width = index.b_pow[level];
      for (std::size_t t = 0; t < index.l; ++t) {
        gather_range(index, ws, t, interval_start(ws.base_keys[t], width), width);
      }
    } else {
      const std::int64_t width = index::bucket_count(index);
      gather_range(index, ws, 0, interval_start(ws.base_keys[0], width), width);
    }
    topk.len = 0;
    refine_topk(index, ws, topk, exclude);
    // Counting entries can overrate a level: tables that share keys, or many
    // duplicate points, fill the widened cells with fewer distinct points.
    if (topk.len >= keep_at_least || level >= index.k) return;
    ++level;
  }
}

}  // namespace vb::query
