// AVX2 tile kernels: half a panel (8 candidates) per register. A micro-tile
// measures kRows query rows against one half panel: each coordinate vector
// loaded serves every row, and the rows' sums are independent chains.
//
// The partial sums are not kept as eight accumulators: partial sum j is summed
// on its own (its first term needs no addition, as 0 + t == t) and folded into
// the combination tree as soon as it is complete, in the tree's order, so a
// row needs at most four live registers. Partial sums of j >= d are zero and
// their additions are left out, which changes no bit. Built with only the
// AVX2 flag and never with FMA contraction.
#include <immintrin.h>

#include "base/metric.h"
#include "kernels/tile_distance.h"
#include "kernels/torus_term_avx2.h"

namespace vb::kernels {
namespace {

#define VB_INLINE inline __attribute__((always_inline))

template <class F, std::size_t kRows>
struct Micro {
  const float* q[kRows];
  const float* panel;
  const float* scale;  // the axis periods; unread on the unit torus

  // The period of coordinate c in every lane.
  VB_INLINE __m256 period(std::size_t c) const {
    if constexpr (F::scaled) return _mm256_set1_ps(scale[c]);
    return _mm256_setzero_ps();
  }

  // out[r] = partial sum j of row r: the terms of coordinates j, j + 8, ...
  template <std::size_t kDim>
  VB_INLINE void partial(std::size_t d, std::size_t j, __m256 (&out)[kRows]) const {
    const __m256 first = _mm256_load_ps(panel + j * kPanelWidth);
    const __m256 first_period = period(j);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) out[r] = metric_term<F>(_mm256_set1_ps(q[r][j]), first, first_period);
    for (std::size_t c = j + 8; c < (kDim != 0 ? kDim : d); c += 8) {
      const __m256 x = _mm256_load_ps(panel + c * kPanelWidth);
      const __m256 x_period = period(c);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) {
        out[r] = _mm256_add_ps(out[r], metric_term<F>(_mm256_set1_ps(q[r][c]), x, x_period));
      }
    }
  }

  // out = s_a + s_b (s_b left out when b >= d). Requires: a < d.
  template <std::size_t kDim>
  VB_INLINE void pair(std::size_t d, std::size_t a, std::size_t b, __m256 (&out)[kRows], __m256 (&scratch)[kRows]) const {
    partial<kDim>(d, a, out);
    if (b < (kDim != 0 ? kDim : d)) {
      partial<kDim>(d, b, scratch);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) out[r] = _mm256_add_ps(out[r], scratch[r]);
    }
  }

  template <std::size_t kDim>
  VB_INLINE void distances(std::size_t d, __m256 (&total)[kRows]) const {
    const std::size_t dim = kDim != 0 ? kDim : d;
    __m256 left[kRows], right[kRows], scratch[kRows];
    pair<kDim>(d, 0, 4, total, scratch);
    if (2 < dim) {
      pair<kDim>(d, 2, 6, left, scratch);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) total[r] = _mm256_add_ps(total[r], left[r]);
    }
    if (1 < dim) {
      pair<kDim>(d, 1, 5, left, scratch);
      if (3 < dim) {
        pair<kDim>(d, 3, 7, right, scratch);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kRows; ++r) left[r] = _mm256_add_ps(left[r], right[r]);
      }
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) total[r] = _mm256_add_ps(total[r], left[r]);
    }
  }
};

template <class F, std::size_t kRows, std::size_t kDim>
void rows_against_tile(const TileJob& job, std::size_t r0) {
  // Locals, so that the stores of the results cannot be taken to change the job.
  const std::size_t d = kDim != 0 ? kDim : job.d;
  const std::size_t panel_count = job.panel_count;
  const std::size_t stride = panel_count * kPanelWidth;
  const float* const panels = job.panels;
  float* const dist = job.dist + r0 * stride;
  std::uint16_t* const admit_out = job.admit + r0 * panel_count;
  Micro<F, kRows> micro;
  micro.scale = job.scale;
  __m256i bound[kRows];
  for (std::size_t r = 0; r < kRows; ++r) {
    micro.q[r] = job.queries[r0 + r];
    bound[r] = _mm256_set1_epi32(static_cast<int>(job.bound[r0 + r]));
  }
  for (std::size_t p = 0; p < panel_count; ++p) {
    unsigned admit[kRows] = {};
    for (std::size_t half = 0; half < kPanelWidth; half += 8) {
      micro.panel = panels + p * d * kPanelWidth + half;
      __m256 total[kRows];
      micro.template distances<kDim>(d, total);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) {
        _mm256_storeu_ps(dist + r * stride + p * kPanelWidth + half, total[r]);
        // Unsigned bits <= bound: their unsigned maximum is the bound.
        const __m256i bits = _mm256_castps_si256(total[r]);
        const __m256i below = _mm256_cmpeq_epi32(_mm256_max_epu32(bits, bound[r]), bound[r]);
        admit[r] |= static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(below))) << half;
      }
    }
    for (std::size_t r = 0; r < kRows; ++r) {
      admit_out[r * panel_count + p] = static_cast<std::uint16_t>(admit[r]);
    }
  }
}

template <class F, std::size_t kDim>
void tile(const TileJob& job) {
  std::size_t r = 0;
  // Two rows keep their four partial-sum registers each within the sixteen.
  for (; r + 2 <= job.rows; r += 2) rows_against_tile<F, 2, kDim>(job, r);
  if (r < job.rows) rows_against_tile<F, 1, kDim>(job, r);
}

}  // namespace

namespace {

template <class F>
TileKernel tile_of(std::size_t d) {
  switch (d) {
    case 1:
      return tile<F, 1>;
    case 2:
      return tile<F, 2>;
    case 3:
      return tile<F, 3>;
    case 4:
      return tile<F, 4>;
    case 5:
      return tile<F, 5>;
    case 6:
      return tile<F, 6>;
    case 7:
      return tile<F, 7>;
    case 8:
      return tile<F, 8>;
    case 16:
      return tile<F, 16>;
    case 24:
      return tile<F, 24>;
    default:
      return tile<F, 0>;
  }
}

}  // namespace

TileKernel tile_kernel_avx2(std::size_t d, Metric metric, bool scaled) {
  return with_form(metric, scaled, [d](auto f) { return tile_of<decltype(f)>(d); });
}

}  // namespace vb::kernels
