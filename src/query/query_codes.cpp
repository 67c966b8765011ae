#include "query/query_codes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/errors.h"
#include "kernels/digit.h"
#include "kernels/digit_column.h"
#include "kernels/nearest_digit.h"

namespace vb::query {

std::int64_t query_codes(const index::Index& index, const double* q, std::size_t dq, std::size_t t,
                         std::int64_t* codes, double* frac) {
  const std::size_t k = index.k;
  const std::int64_t* s = index.s.data() + t * k;
  const double* u = index.u.data() + t * k;
  const double buckets = static_cast<double>(index.b);
  const std::int64_t top = index.b - 1;
  std::int64_t key = 0;
  for (std::size_t j = 0; j < k; ++j) {
    const std::int64_t column = s[j];
    VB_CHECK(column >= 0 && static_cast<std::uint64_t>(column) < dq,
             "index out of bounds: the len is " + std::to_string(dq) + " but the index is " + std::to_string(column));
    const double v = kernels::bucket_position(q[column], u[j], buckets);
    const std::int64_t c = kernels::digit_of(v, top);
    codes[j] = c;
    // std::clamp keeps a NaN position as it is.
    frac[j] = std::clamp(v - static_cast<double>(c), 0.0, 1.0);
    key = kernels::add_digit(key, c, index.b_pow[j]);
  }
  return key;
}

void BlockCodes::set_rows(const double* queries, std::size_t count, std::size_t dq) {
  rows = count;
  columns.resize(count * dq);
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t c = 0; c < dq; ++c) columns[c * count + r] = queries[r * dq + c];
  }
}

void block_codes(const index::Index& index, BlockCodes& block, std::size_t dq, std::size_t t, std::size_t first,
                 std::size_t count) {
  const std::size_t k = index.k;
  const std::int64_t* s = index.s.data() + t * k;
  const double* u = index.u.data() + t * k;
  VB_CHECK(first + count <= block.rows, "rows hashed beyond the block");
  block.base.assign(count, 0);
  block.codes.resize(k * count);
  block.frac.resize(k * count);
  if (count == 0) return;
  for (std::size_t j = 0; j < k; ++j) {
    const std::int64_t column = s[j];
    VB_CHECK(column >= 0 && static_cast<std::uint64_t>(column) < dq,
             "index out of bounds: the len is " + std::to_string(dq) + " but the index is " + std::to_string(column));
  }
  const kernels::DigitFracKernel hash =
      index.kernels.digit_frac != nullptr ? index.kernels.digit_frac : kernels::digit_frac_scalar;
  const kernels::DigitColumn digit{0.0, static_cast<double>(index.b), index.b - 1, 0};
  for (std::size_t j = 0; j < k; ++j) {
    kernels::DigitColumn at = digit;
    at.shift = u[j];
    at.weight = index.b_pow[j];
    hash(block.columns.data() + static_cast<std::size_t>(s[j]) * block.rows + first, count, at, block.base.data(),
         block.codes.data() + j * count, block.frac.data() + j * count);
  }
}

namespace {
// Up to this many probes the selection scans the digits once per probe.
constexpr std::size_t kFewProbes = 4;

// The key that moves digit `code` (0 .. b - 1, weight `weight`) of `base` one
// bucket towards the nearer boundary of its cell, wrapping round the circle.
inline std::int64_t moved_key(std::int64_t base, std::int64_t code, double frac, std::int64_t b,
                              std::int64_t weight) {
  const std::int64_t step = frac >= 0.5 ? 1 : -1;
  // A digit lies in 0 .. b - 1, so one step leaves the range by at most one
  // bucket either way: wrapping needs no division (a 64-bit one per probe
  // cost more than the rest of the probe).
  std::int64_t moved = code + step;
  if (moved >= b) {
    moved -= b;
  } else if (moved < 0) {
    moved += b;
  }
  return kernels::add_digit(base, moved - code, weight);
}

}  // namespace

std::size_t probe_count(const index::Index& index) { return std::min(index.k, index.probes); }

void probe_keys(const index::Index& index, std::int64_t base, const std::int64_t* codes, const double* frac,
                double* margin, std::int64_t* out) {
  const std::size_t k = index.k;
  const std::size_t n_probe = probe_count(index);
  if (n_probe == 0) return;
  VB_CHECK(index.b >= 1, "attempt to calculate the remainder with a divisor of zero");
  for (std::size_t j = 0; j < k; ++j) margin[j] = std::min(frac[j], 1.0 - frac[j]);  // NaN stays NaN
  auto probe = [&](std::size_t p, std::size_t chosen) {
    out[p] = moved_key(base, codes[chosen], frac[chosen], index.b, index.b_pow[chosen]);
  };
  if (n_probe > kFewProbes) {
    // The order the scan below picks digits in, by one partial sort: finite
    // margins ascending, lower digit on ties; then digit 0 again and again.
    thread_local std::vector<std::uint32_t> order;
    order.clear();
    for (std::size_t j = 0; j < k; ++j) {
      if (!std::isnan(margin[j])) order.push_back(static_cast<std::uint32_t>(j));
    }
    const std::size_t sorted = std::min(n_probe, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(sorted), order.end(),
                      [&](std::uint32_t a, std::uint32_t b) { return margin[a] < margin[b] || (margin[a] == margin[b] && a < b); });
    for (std::size_t p = 0; p < n_probe; ++p) probe(p, p < sorted ? order[p] : 0);
    return;
  }
  for (std::size_t p = 0; p < n_probe; ++p) {
    // A chosen digit's margin becomes 2.0, above every real margin, and a NaN
    // never compares below the running best: each digit is probed at most once
    // while finite margins remain.
    double best = 2.0;
    std::size_t chosen = 0;
    for (std::size_t j = 0; j < k; ++j) {
      if (margin[j] < best) {
        best = margin[j];
        chosen = j;
      }
    }
    margin[chosen] = 2.0;
    probe(p, chosen);
  }
}

void block_probe_keys(const index::Index& index, BlockCodes& block, std::size_t count) {
  const std::size_t k = index.k;
  const std::size_t n_probe = probe_count(index);
  block.probes.resize(n_probe * count);
  if (n_probe == 0 || count == 0) return;
  VB_CHECK(index.b >= 1, "attempt to calculate the remainder with a divisor of zero");
  VB_CHECK(block.codes.size() >= k * count && block.frac.size() >= k * count, "probe keys of rows not hashed");
  const std::int64_t* codes = block.codes.data();
  const double* frac = block.frac.data();
  std::int64_t* out = block.probes.data();
  if (n_probe > kFewProbes) {
    // Many probes sort each row's margins once: row by row through probe_keys.
    block.row_codes.resize(k);
    block.row_frac.resize(k);
    block.margin.resize(k);
    block.row_probes.resize(n_probe);
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t j = 0; j < k; ++j) {
        block.row_codes[j] = codes[j * count + i];
        block.row_frac[j] = frac[j * count + i];
      }
      probe_keys(index, block.base[i], block.row_codes.data(), block.row_frac.data(), block.margin.data(),
                 block.row_probes.data());
      for (std::size_t p = 0; p < n_probe; ++p) out[p * count + i] = block.row_probes[p];
    }
    return;
  }
  block.margin.resize(k * count);
  block.chosen.resize(count);
  double* __restrict margin = block.margin.data();
  std::int64_t* chosen = block.chosen.data();
  const kernels::NearestDigitKernel nearest =
      index.kernels.nearest_digit != nullptr ? index.kernels.nearest_digit : kernels::nearest_digit_scalar;
  for (std::size_t e = 0; e < k * count; ++e) margin[e] = std::min(frac[e], 1.0 - frac[e]);  // NaN stays NaN
  for (std::size_t p = 0; p < n_probe; ++p) {
    // The scan probe_keys makes for one row, made for the whole stretch a
    // digit at a time.
    nearest(margin, count, k, count, chosen);
    std::int64_t* keys = out + p * count;
    for (std::size_t i = 0; i < count; ++i) {
      // 2.0 lies above every real margin: the next probe passes this digit by.
      const std::size_t at = static_cast<std::size_t>(chosen[i]) * count + i;
      margin[at] = 2.0;
      keys[i] = moved_key(block.base[i], codes[at], frac[at], index.b,
                          index.b_pow[static_cast<std::size_t>(chosen[i])]);
    }
  }
}

}  // namespace vb::query
