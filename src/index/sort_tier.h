#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::index {

// A tier's searchable form: l runs of n (key, id) entries in key order, and
// their bucket offsets (empty when offsets_enabled is false).
struct SortedTier {
  Buffer<std::int64_t> keys;
  Buffer<std::int64_t> ids;
  Buffer<std::uint32_t> offsets;
};

// Sorts a tier. `keys` holds l × n keys, table-major, in point order; entry i
// of run t becomes (keys[t*n + i], id_base + i). Each output run is ascending
// by (key, id). Tables run in parallel. When the tier gets offsets, a counting
// pass over the buckets sorts each run in linear time and yields the offsets
// as a by-product; otherwise the run is sorted by comparison.
// Requires: with offsets, every key lies in [0, b^k) (else InternalError).
SortedTier sort_tier(const Index& index, const std::int64_t* keys, std::size_t n, std::int64_t id_base);

}  // namespace vb::index
