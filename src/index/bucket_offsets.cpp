#include "index/bucket_offsets.h"

#include <algorithm>
#include <limits>

#include "base/checked_size.h"
#include "base/errors.h"
#include "pool/pool.h"

namespace vb::index {

namespace {
constexpr unsigned __int128 kOffsetsByteLimit = 64ull << 20;
}

std::int64_t bucket_count(const Index& index) {
  VB_CHECK(index.k >= 1, "bucket count of a key with no digits");
  std::int64_t nb = 0;
  const std::int64_t a = index.b_pow[index.k - 1];
  if (__builtin_mul_overflow(a, index.b, &nb)) {
    nb = ((a < 0) == (index.b < 0)) ? INT64_MAX : INT64_MIN;
  }
  return nb;
}

bool offsets_enabled(const Index& index, std::size_t n) {
  if (index.k == 0 || index.l == 0) return false;
  const std::int64_t nb = bucket_count(index);
  if (nb <= 0) return false;
  if (n > std::numeric_limits<std::uint32_t>::max()) return false;
  std::uint64_t m = static_cast<std::uint64_t>(nb) + 1;  // nb > 0: no wrap
  const unsigned __int128 bytes = static_cast<unsigned __int128>(m) * (static_cast<unsigned __int128>(index.l) * 8);
  return bytes <= kOffsetsByteLimit;
}

Buffer<std::uint32_t> build_offsets(const Index& index, const std::int64_t* sorted_keys, std::size_t n) {
  Buffer<std::uint32_t> offsets;
  if (n == 0 || !offsets_enabled(index, n)) return offsets;
  const std::size_t nb = static_cast<std::size_t>(bucket_count(index));
  const std::size_t stride = nb + 1;
  offsets.resize(checked_mul(index.l, stride, sizeof(std::uint32_t)));
  pool::parallel_for(index.l, 1, [&](std::size_t t0, std::size_t t1) {
    for (std::size_t t = t0; t < t1; ++t) {
      const std::int64_t* keys = sorted_keys + t * n;
      std::uint32_t* out = offsets.data() + t * stride;
      std::size_t p = 0;
      for (std::size_t v = 0; v <= nb; ++v) {
        while (p < n && keys[p] < static_cast<std::int64_t>(v)) ++p;
        out[v] = static_cast<std::uint32_t>(p);
      }
    }
  });
  return offsets;
}

namespace {

// The tier's offsets hold l runs of stride entries, or nothing.
template <class Value, class Offset, class Offsets>
void set_offsets(BasicRunView<Value, Offset>& run, Offsets& offsets, std::size_t l) {
  if (offsets.empty()) return;
  run.stride = offsets.size() / l;
  run.offsets = offsets.data();
}

}  // namespace

RunView static_runs(const Index& index) {
  RunView run{index.static_keys.data(), index.static_ids.data(), index.n_static, nullptr, 0};
  set_offsets(run, index.static_offsets, index.l);
  return run;
}

RunView cand_runs(const Index& index) {
  RunView run{index.cand_sorted_keys.data(), index.cand_sorted_ids.data(), index.n_cand(), nullptr, 0};
  set_offsets(run, index.cand_offsets, index.l);
  return run;
}

WritableRunView writable_cand_runs(Index& index) {
  WritableRunView run{index.cand_sorted_keys.data(), index.cand_sorted_ids.data(), index.n_cand(), nullptr, 0};
  set_offsets(run, index.cand_offsets, index.l);
  return run;
}

std::size_t lower_bound_in_run(const std::int64_t* keys, std::size_t n, std::int64_t key) {
  return static_cast<std::size_t>(std::lower_bound(keys, keys + n, key) - keys);
}

std::pair<std::size_t, std::size_t> run_range(const RunView& run, std::int64_t key, std::int64_t span) {
  const std::int64_t end = static_cast<std::int64_t>(static_cast<std::uint64_t>(key) + static_cast<std::uint64_t>(span));
  if (run.offsets != nullptr) {
    VB_CHECK(static_cast<std::uint64_t>(key) < run.stride && static_cast<std::uint64_t>(end) < run.stride,
             "index out of bounds: the len is " + std::to_string(run.stride) + " but the index is " +
                 std::to_string(static_cast<std::uint64_t>(key) < run.stride ? end : key));
    return {run.offsets[key], run.offsets[end]};
  }
  if (run.n == 0) return {0, 0};
  const std::size_t lo = lower_bound_in_run(run.keys, run.n, key);
  // A span that wraps past the largest key would put the end before the start.
  return {lo, std::max(lo, lower_bound_in_run(run.keys, run.n, end))};
}

}  // namespace vb::index
