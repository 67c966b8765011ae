#include "index/hash_keys.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/checked_size.h"
#include "pool/cancel.h"
#include "pool/pool.h"

namespace vb::index {

std::size_t hash_chunk_size(std::size_t count, std::size_t threads) {
  const std::size_t pieces = 4 * std::max<std::size_t>(threads, 1);
  const std::size_t chunk = (count + pieces - 1) / pieces;
  return std::clamp<std::size_t>(chunk, 16, 1024);
}

namespace {

// What one compute_keys call needs per digit: the column it reads, as a slot
// among the distinct columns the hash uses, and the digit's constants.
struct HashPlan {
  std::vector<std::size_t> columns;  // distinct coordinate indices read by some digit
  std::vector<std::size_t> slot;     // per (t, j): position of its column in `columns`
  std::vector<kernels::DigitColumn> digits;   // per (t, j)
  kernels::DigitColumnKernel kernel;

  HashPlan(const Index& index, kernels::DigitColumnKernel kernel_) : kernel(kernel_) {
    const std::size_t n = index.l * index.k;
    slot.resize(n);
    digits.resize(n);
    for (std::size_t tj = 0; tj < n; ++tj) {
      const auto column = static_cast<std::size_t>(index.s[tj]);
      auto found = std::find(columns.begin(), columns.end(), column);
      slot[tj] = static_cast<std::size_t>(found - columns.begin());
      if (found == columns.end()) columns.push_back(column);
      digits[tj] = kernels::DigitColumn{index.u[tj], static_cast<double>(index.b), index.b - 1,
                                        index.b_pow[tj % index.k]};
    }
  }
};

// Keys of `m` consecutive rows in every table, written table-major into
// keys[t * m + i]. The columns the hash reads are first copied out of the rows
// so that every digit streams through contiguous values.
void hash_rows(const Index& index, const HashPlan& plan, const double* rows, std::size_t d, std::size_t m,
               double* columns, std::int64_t* keys) {
  for (std::size_t c = 0; c < plan.columns.size(); ++c) {
    const double* from = rows + plan.columns[c];
    double* to = columns + c * m;
    for (std::size_t i = 0; i < m; ++i) to[i] = from[i * d];
  }
  std::fill(keys, keys + index.l * m, 0);
  for (std::size_t t = 0; t < index.l; ++t) {
    for (std::size_t j = 0; j < index.k; ++j) {
      const std::size_t tj = t * index.k + j;
      plan.kernel(columns + plan.slot[tj] * m, m, plan.digits[tj], keys + t * m);
    }
  }
}

}  // namespace

Buffer<std::int64_t> compute_keys(const Index& index, kernels::DigitColumnKernel kernel, const double* points,
                                  std::size_t d, std::size_t start, std::size_t count) {
  Buffer<std::int64_t> out(checked_mul(index.l, count));
  if (count == 0 || index.l == 0) return out;
  const HashPlan plan(index, kernel);
  const std::size_t chunk = hash_chunk_size(count, pool::num_threads());
  const std::size_t n_chunks = (count + chunk - 1) / chunk;
  pool::parallel_for(n_chunks, 1, [&](std::size_t c0, std::size_t c1) {
    Buffer<std::int64_t> keys(chunk * index.l);
    Buffer<double> columns(chunk * std::max<std::size_t>(plan.columns.size(), 1));
    for (std::size_t c = c0; c < c1; ++c) {
      pool::cancellation_point();
      const std::size_t first = c * chunk;
      const std::size_t m = std::min(chunk, count - first);
      hash_rows(index, plan, points + (start + first) * d, d, m, columns.data(), keys.data());
      for (std::size_t t = 0; t < index.l; ++t) {
        std::memcpy(out.data() + t * count + first, keys.data() + t * m, m * sizeof(std::int64_t));
      }
    }
  });
  return out;
}

Buffer<std::int64_t> compute_keys(const Index& index, const double* points, std::size_t d,
                                  std::size_t start, std::size_t count) {
  return compute_keys(index, index.kernels.digit_column, points, d, start, count);
}

Buffer<std::int64_t> compute_keys(const Index& index, std::size_t start, std::size_t count) {
  return compute_keys(index, index.points.data(), index.d, start, count);
}

}  // namespace vb::index
