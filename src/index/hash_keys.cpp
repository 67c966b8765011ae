#include "index/hash_keys.h"

#include <algorithm>
#include <cstring>

#include "index/checked_size.h"
#include "index/digit.h"
#include "pool/pool.h"

namespace vb::index {

std::size_t hash_chunk_size(std::size_t count, std::size_t threads) {
  const std::size_t pieces = 4 * std::max<std::size_t>(threads, 1);
  const std::size_t chunk = (count + pieces - 1) / pieces;
  return std::clamp<std::size_t>(chunk, 16, 1024);
}

namespace {

// Keys of `m` consecutive rows in every table, written table-major into
// keys[t * m + i]. Point-major order keeps each row in the first-level cache
// while all l × k digits read it.
void hash_rows(const Index& index, const double* rows, std::size_t d, std::size_t m, std::int64_t* keys) {
  const double buckets = static_cast<double>(index.b);
  const std::int64_t top = index.b - 1;
  const std::size_t k = index.k;
  const std::int64_t* s = index.s.data();
  const double* u = index.u.data();
  const std::int64_t* weight = index.b_pow.data();
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = rows + i * d;
    for (std::size_t t = 0; t < index.l; ++t) {
      std::int64_t key = 0;
      for (std::size_t j = 0; j < k; ++j) {
        const double position = bucket_position(row[s[t * k + j]], u[t * k + j], buckets);
        key = add_digit(key, digit_of(position, top), weight[j]);
      }
      keys[t * m + i] = key;
    }
  }
}

}  // namespace

Buffer<std::int64_t> compute_keys(const Index& index, const double* points, std::size_t d,
                                  std::size_t start, std::size_t count) {
  Buffer<std::int64_t> out(checked_mul(index.l, count));
  if (count == 0 || index.l == 0) return out;
  const std::size_t chunk = hash_chunk_size(count, pool::num_threads());
  const std::size_t n_chunks = (count + chunk - 1) / chunk;
  pool::parallel_for(n_chunks, 1, [&](std::size_t c0, std::size_t c1) {
    Buffer<std::int64_t> keys(chunk * index.l);
    for (std::size_t c = c0; c < c1; ++c) {
      const std::size_t first = c * chunk;
      const std::size_t m = std::min(chunk, count - first);
      hash_rows(index, points + (start + first) * d, d, m, keys.data());
      for (std::size_t t = 0; t < index.l; ++t) {
        std::memcpy(out.data() + t * count + first, keys.data() + t * m, m * sizeof(std::int64_t));
      }
    }
  });
  return out;
}

Buffer<std::int64_t> compute_keys(const Index& index, std::size_t start, std::size_t count) {
  return compute_keys(index, index.points.data(), index.d, start, count);
}

}  // namespace vb::index
