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

// One table's run of a tier: n (key, id) entries in key order and, when the
// tier has them, its `stride` = b^k + 1 bucket starts (else offsets is null).
// A tier is l such runs laid end to end (table-major), so the view of table
// 0 steps to table t by whole runs: at(t). Every reader and writer of a run
// goes through this view instead of computing run positions itself.
// Writable views (Value = std::int64_t) are for maintenance, which edits a
// run in place; readers use RunView.
template <class Value, class Offset>
struct BasicRunView {
  Value* keys = nullptr;     // n sorted keys
  Value* ids = nullptr;      // the n ids, entry for entry
  std::size_t n = 0;
  Offset* offsets = nullptr;  // stride bucket starts, or null
  std::size_t stride = 0;

  // The same tier's run of table t, given the view of table 0.
  BasicRunView at(std::size_t t) const {
    return {keys + t * n, ids + t * n, n, offsets != nullptr ? offsets + t * stride : nullptr, stride};
  }
};
using RunView = BasicRunView<const std::int64_t, const std::uint32_t>;
using WritableRunView = BasicRunView<std::int64_t, std::uint32_t>;

// Table 0's run of the static tier and of the candidate tier (cand_sorted_*);
// at(t) gives table t's.
RunView static_runs(const Index& index);
RunView cand_runs(const Index& index);
WritableRunView writable_cand_runs(Index& index);

inline RunView static_run(const Index& index, std::size_t t) { return static_runs(index).at(t); }
inline RunView cand_run(const Index& index, std::size_t t) { return cand_runs(index).at(t); }

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
