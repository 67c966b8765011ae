#include "index/sort_tier.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "index/bucket_offsets.h"
#include "index/checked_size.h"
#include "index/errors.h"
#include "pool/pool.h"

namespace vb::index {
namespace {

// Stable counting sort of one run whose input is in id order, so equal keys
// stay in ascending id order. `starts` receives the nb + 1 bucket offsets.
void counting_sort_run(const std::int64_t* keys, std::size_t n, std::int64_t id_base, std::size_t nb,
                       std::int64_t* out_keys, std::int64_t* out_ids, std::uint32_t* starts) {
  std::fill(starts, starts + nb + 1, 0u);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = static_cast<std::uint64_t>(keys[i]);
    VB_CHECK(key < nb, "index out of bounds: the len is " + std::to_string(nb) + " but the index is " +
                           std::to_string(keys[i]));
    ++starts[key + 1];
  }
  for (std::size_t v = 0; v < nb; ++v) starts[v + 1] += starts[v];

  Buffer<std::uint32_t> cursor(starts, starts + nb);
  for (std::size_t i = 0; i < n; ++i) {
    out_ids[cursor[static_cast<std::size_t>(keys[i])]++] = id_base + static_cast<std::int64_t>(i);
  }
  // Every bucket's keys are equal, so they are written as runs, not scattered.
  for (std::size_t v = 0; v < nb; ++v) {
    std::fill(out_keys + starts[v], out_keys + starts[v + 1], static_cast<std::int64_t>(v));
  }
}

void comparison_sort_run(const std::int64_t* keys, std::size_t n, std::int64_t id_base,
                         std::int64_t* out_keys, std::int64_t* out_ids) {
  std::vector<std::pair<std::int64_t, std::int64_t>> pairs(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {keys[i], id_base + static_cast<std::int64_t>(i)};
  std::sort(pairs.begin(), pairs.end());
  for (std::size_t i = 0; i < n; ++i) {
    out_keys[i] = pairs[i].first;
    out_ids[i] = pairs[i].second;
  }
}

}  // namespace

SortedTier sort_tier(const Index& index, const std::int64_t* keys, std::size_t n, std::int64_t id_base) {
  SortedTier tier;
  const std::size_t total = checked_mul(index.l, n);
  tier.keys.resize(total);
  tier.ids.resize(total);
  if (n == 0) return tier;

  const bool with_offsets = offsets_enabled(index, n);
  std::size_t nb = 0;
  if (with_offsets) {
    nb = static_cast<std::size_t>(bucket_count(index));
    tier.offsets.resize(checked_mul(index.l, nb + 1, sizeof(std::uint32_t)));
  }
  pool::parallel_for(index.l, 1, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      const std::int64_t* in = keys + t * n;
      std::int64_t* out_keys = tier.keys.data() + t * n;
      std::int64_t* out_ids = tier.ids.data() + t * n;
      if (with_offsets) {
        counting_sort_run(in, n, id_base, nb, out_keys, out_ids, tier.offsets.data() + t * (nb + 1));
      } else {
        comparison_sort_run(in, n, id_base, out_keys, out_ids);
      }
    }
  });
  return tier;
}

}  // namespace vb::index
