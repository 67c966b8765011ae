#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::index {

// Number of possible key values, b^k, saturating at the int64 limits
// (b_pow[k-1] * b). Requires: k >= 1.
std::int64_t bucket_count(const Index& index);

// Whether a tier of n entries per run gets bucket offsets: b^k >= 1, the
// offsets take at most 64 MiB counted at 8 bytes an entry ((b^k + 1) × l × 8),
// and every position of a run fits in 32 bits.
bool offsets_enabled(const Index& index, std::size_t n);

// Bucket offsets of a tier whose l runs of n keys are sorted: run t holds
// b^k + 1 entries, entry v = the number of keys of run t below v. Empty when
// n = 0 or offsets_enabled is false. One linear pass per table, tables in
// parallel.
Buffer<std::uint32_t> build_offsets(const Index& index, const std::int64_t* sorted_keys, std::size_t n);

// Read-only view of one run of a tier, for range lookups.
struct RunView {
  const std::int64_t* keys = nullptr;        // n sorted keys
  std::size_t n = 0;
  const std::uint32_t* offsets = nullptr;    // b^k + 1 bucket starts, or null
  std::size_t stride = 0;                    // number of offset entries (b^k + 1)
};

RunView static_run(const Index& index, std::size_t t);
RunView cand_run(const Index& index, std::size_t t);

// Positions [lo, hi) of the entries of `run` whose key lies in
// [key, key + span) (end computed with wrap-around). With offsets both ends
// must lie in [0, b^k] (else InternalError); without, two binary searches.
std::pair<std::size_t, std::size_t> run_range(const RunView& run, std::int64_t key, std::int64_t span);

inline std::pair<std::size_t, std::size_t> static_range(const Index& index, std::size_t t,
                                                        std::int64_t key, std::int64_t span) {
  return run_range(static_run(index, t), key, span);
}
inline std::pair<std::size_t, std::size_t> cand_range(const Index& index, std::size_t t,
                                                      std::int64_t key, std::int64_t span) {
  return run_range(cand_run(index, t), key, span);
}

// Number of entries of a sorted run with key below `key` (signed order).
std::size_t lower_bound_in_run(const std::int64_t* keys, std::size_t n, std::int64_t key);

}  // namespace vb::index
