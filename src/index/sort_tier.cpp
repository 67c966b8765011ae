#include "index/sort_tier.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "base/checked_size.h"
#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "pool/pool.h"

namespace vb::index {
namespace {

// Every key of a run must have a bucket before any bucket is indexed.
void check_largest_key(std::uint64_t largest, std::size_t nb) {
  VB_CHECK(largest < nb, "index out of bounds: the len is " + std::to_string(nb) + " but the index is " +
                             std::to_string(static_cast<std::int64_t>(largest)));
}

// Stable counting sort of one run whose input is in id order, so equal keys
// stay in ascending id order. `starts` receives the nb + 1 bucket offsets.
// Used when the buckets are few enough that the scatter stays in cache.
void counting_sort_run(const std::int64_t* keys, std::size_t n, std::int64_t id_base, std::size_t nb,
                       std::int64_t* out_keys, std::int64_t* out_ids, std::uint32_t* starts) {
  std::fill(starts, starts + nb + 1, 0u);
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, static_cast<std::uint64_t>(keys[i]));
  check_largest_key(largest, nb);
  for (std::size_t i = 0; i < n; ++i) ++starts[static_cast<std::size_t>(keys[i]) + 1];
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

// The same result in two passes for many buckets: first a stable scatter by the
// high bits of the key into a few hundred groups (few write streams), then a
// counting sort of each group by the low bits, which stays in the first-level
// cache. A one-pass scatter over hundreds of thousands of buckets would miss
// the cache on nearly every write. Entries travel as (low bits << 32 | position).
void two_pass_sort_run(const std::int64_t* keys, std::size_t n, std::int64_t id_base, std::size_t nb,
                       unsigned low_bits, std::int64_t* out_keys, std::int64_t* out_ids, std::uint32_t* starts) {
  const std::size_t low_count = std::size_t{1} << low_bits;
  const std::size_t low_mask = low_count - 1;
  const std::size_t groups = ((nb - 1) >> low_bits) + 1;

  std::vector<std::uint32_t> group_start(groups + 1, 0);
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto key = static_cast<std::uint64_t>(keys[i]);
    largest = std::max(largest, key);
    ++group_start[std::min<std::size_t>(key >> low_bits, groups - 1) + 1];
  }
  check_largest_key(largest, nb);
  for (std::size_t g = 0; g < groups; ++g) group_start[g + 1] += group_start[g];

  Buffer<std::uint64_t> grouped(n);
  {
    std::vector<std::uint32_t> cursor(group_start.begin(), group_start.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
      const auto key = static_cast<std::size_t>(keys[i]);
      grouped[cursor[key >> low_bits]++] = (static_cast<std::uint64_t>(key & low_mask) << 32) | i;
    }
  }

  std::vector<std::uint32_t> local(low_count + 1);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint32_t begin = group_start[g];
    const std::uint32_t end = group_start[g + 1];
    std::fill(local.begin(), local.end(), 0u);
    for (std::uint32_t p = begin; p < end; ++p) ++local[(grouped[p] >> 32) + 1];
    for (std::size_t lo = 0; lo < low_count; ++lo) local[lo + 1] += local[lo];

    const std::size_t first_key = g << low_bits;
    const std::size_t keys_here = std::min(low_count, nb - first_key);
    for (std::size_t lo = 0; lo < keys_here; ++lo) starts[first_key + lo] = begin + local[lo];
    for (std::uint32_t p = begin; p < end; ++p) {
      const std::uint64_t entry = grouped[p];
      const std::size_t lo = static_cast<std::size_t>(entry >> 32);
      const std::uint32_t to = begin + local[lo]++;
      out_keys[to] = static_cast<std::int64_t>(first_key + lo);
      out_ids[to] = id_base + static_cast<std::int64_t>(entry & 0xffffffffu);
    }
  }
  starts[nb] = static_cast<std::uint32_t>(n);
}

// Sorts one run into (key, id) order and fills its nb + 1 offsets.
void bucket_sort_run(const std::int64_t* keys, std::size_t n, std::int64_t id_base, std::size_t nb,
                     std::int64_t* out_keys, std::int64_t* out_ids, std::uint32_t* starts) {
  constexpr unsigned kOnePassBits = 14;  // up to 16K buckets: the counters stay in cache
  const unsigned bits = static_cast<unsigned>(std::bit_width(nb - 1));
  if (bits <= kOnePassBits) {
    counting_sort_run(keys, n, id_base, nb, out_keys, out_ids, starts);
  } else {
    two_pass_sort_run(keys, n, id_base, nb, (bits + 1) / 2, out_keys, out_ids, starts);
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
  const WritableRunView runs{tier.keys.data(), tier.ids.data(), n, with_offsets ? tier.offsets.data() : nullptr,
                             with_offsets ? nb + 1 : 0};
  pool::parallel_for(index.l, 1, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      pool::cancellation_point();
      const std::int64_t* in = keys + t * n;  // point order, not a run
      const WritableRunView run = runs.at(t);
      if (run.offsets != nullptr) {
        bucket_sort_run(in, n, id_base, nb, run.keys, run.ids, run.offsets);
      } else {
        comparison_sort_run(in, n, id_base, run.keys, run.ids);
      }
    }
  });
  return tier;
}

}  // namespace vb::index
