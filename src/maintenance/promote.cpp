#include "maintenance/promote.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "base/checked_size.h"
#include "base/errors.h"
#include "index/bucket_offsets.h"
#include "index/build.h"
#include "index/hash_keys.h"
#include "index/key_ordered_codes.h"
#include "index/sort_tier.h"
#include "pool/pool.h"

namespace vb::maintenance {

void merge_runs(const std::int64_t* cand_keys, const std::int64_t* cand_ids, std::size_t c,
                const std::int64_t* static_keys, const std::int64_t* static_ids, std::size_t s,
                std::int64_t* out_keys, std::int64_t* out_ids) noexcept {
  std::size_t a = 0;
  std::size_t b = 0;
  std::size_t o = 0;
  while (a < c && b < s) {
    if (cand_keys[a] <= static_keys[b]) {
      out_keys[o] = cand_keys[a];
      out_ids[o] = cand_ids[a];
      ++a;
    } else {
      out_keys[o] = static_keys[b];
      out_ids[o] = static_ids[b];
      ++b;
    }
    ++o;
  }
  // One side is used up; the other's tail follows as it is.
  std::copy(cand_keys + a, cand_keys + c, out_keys + o);
  std::copy(cand_ids + a, cand_ids + c, out_ids + o);
  o += c - a;
  std::copy(static_keys + b, static_keys + s, out_keys + o);
  std::copy(static_ids + b, static_ids + s, out_ids + o);
}

namespace {

void validate_promote(const index::Index& index, std::size_t columns) {
  if (!index.built) throw ArgumentError("promote needs a built index; call build first");
  if (columns != index.d) {
    throw ArgumentError("new_candidates have " + std::to_string(columns) + " columns but the index holds " +
                        std::to_string(index.d) + "-dimensional points");
  }
}

// Makes room for `extra` more elements without changing the contents, so that
// the append of the commit step cannot allocate. Capacity grows by at least
// half, which keeps repeated promotions from copying all points every time.
template <class T>
void reserve_extra(Buffer<T>& buffer, std::size_t extra) {
  const std::size_t size = buffer.size();
  if (extra > buffer.max_size() - size) throw std::bad_alloc();
  const std::size_t wanted = size + extra;
  if (wanted <= buffer.capacity()) return;
  const std::size_t grown = buffer.capacity() + buffer.capacity() / 2;
  buffer.reserve(std::max(wanted, std::min(grown, buffer.max_size())));
}

// Appends `count` values; the capacity was reserved, so nothing is allocated.
template <class T>
void append_reserved(Buffer<T>& buffer, const T* values, std::size_t count) noexcept {
  if (count == 0) return;
  const std::size_t size = buffer.size();
  buffer.resize(size + count);
  std::memcpy(buffer.data() + size, values, count * sizeof(T));
}

}  // namespace

void promote(index::Index& index, const Buffer<double>& batch, std::size_t m, std::size_t columns) {
  validate_promote(index, columns);
  VB_CHECK(batch.size() == checked_mul(m, columns), "promote: the batch does not hold m × d values");
  const std::size_t l = index.l;
  const std::size_t s = index.n_static;
  const std::size_t c = index.n_cand();
  const std::size_t n0 = index.n_points;

  // The merged static runs, made beside the old ones (which stay readable).
  Buffer<std::int64_t> static_keys;
  Buffer<std::int64_t> static_ids;
  if (c > 0) {
    static_keys.resize(checked_mul(l, n0));
    static_ids.resize(checked_mul(l, n0));
    const index::RunView cand = index::cand_runs(index);
    const index::RunView stat = index::static_runs(index);
    const index::WritableRunView merged{static_keys.data(), static_ids.data(), n0, nullptr, 0};
    pool::parallel_for(l, 1, [&](std::size_t t0, std::size_t t1) {
      for (std::size_t t = t0; t < t1; ++t) {
        pool::cancellation_point();
        const index::RunView from_cand = cand.at(t);
        const index::RunView from_static = stat.at(t);
        const index::WritableRunView to = merged.at(t);
        merge_runs(from_cand.keys, from_cand.ids, c, from_static.keys, from_static.ids, s, to.keys, to.ids);
      }
    });
  }
  const std::int64_t* merged_keys = c > 0 ? static_keys.data() : index.static_keys.data();
  Buffer<std::uint32_t> static_offsets = index::build_offsets(index, merged_keys, n0);
  Buffer<std::uint8_t> static_codes;
  if (c > 0) static_codes = index::key_ordered_codes(index, static_ids.data(), n0, index.codes.data(), index.d, n0);

  // The new candidate tier: the batch's rows get ids n0, n0 + 1, ...
  Buffer<std::int64_t> cand_keys = index::compute_keys(index, batch.data(), columns, 0, m);
  index::SortedTier cand_tier = index::sort_tier(index, cand_keys.data(), m, static_cast<std::int64_t>(n0));
  Buffer<float> batch_f32 = index::to_f32(batch.data(), batch.size());
  Buffer<std::uint8_t> batch_codes(batch_f32.size());
  const std::size_t batch_off_torus = index::encode_points(batch_f32.data(), batch_f32.size(), batch_codes.data());
  reserve_extra(index.points, batch.size());
  reserve_extra(index.points_f32, batch_f32.size());
  reserve_extra(index.codes, batch_codes.size());

  // Commit: moves and appends into reserved space; nothing can fail.
  const pool::CommitScope committing;
  if (c > 0) {
    index.static_keys = std::move(static_keys);
    index.static_ids = std::move(static_ids);
    index.static_codes = std::move(static_codes);
  }
  index.static_offsets = std::move(static_offsets);
  index.n_static = n0;
  append_reserved(index.points, batch.data(), batch.size());
  append_reserved(index.points_f32, batch_f32.data(), batch_f32.size());
  append_reserved(index.codes, batch_codes.data(), batch_codes.size());
  index.off_torus_static += index.off_torus_cand;
  index.off_torus_cand = batch_off_torus;
  index.n_points = n0 + m;
  index.cand_keys = std::move(cand_keys);
  index.cand_sorted_keys = std::move(cand_tier.keys);
  index.cand_sorted_ids = std::move(cand_tier.ids);
  index.cand_offsets = std::move(cand_tier.offsets);
}

}  // namespace vb::maintenance
