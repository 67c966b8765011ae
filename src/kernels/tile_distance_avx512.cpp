// AVX-512 tile kernels: one panel (16 candidates) per register. A micro-tile
// measures kRows query rows against one panel: each coordinate vector loaded
// serves every row, and the rows' sums are independent chains.
//
// The partial sums are not kept as eight accumulators: partial sum j is summed
// on its own (its first term needs no addition, as 0 + t == t) and folded into
// the combination tree as soon as it is complete, in the tree's order, so a
// row needs at most four live registers. Partial sums of j >= d are zero and
// their additions are left out, which changes no bit. Built with only the
// AVX-512 flags and never with FMA contraction.
#include <immintrin.h>

#include "base/metric.h"
#include "kernels/tile_distance.h"
#include "kernels/torus_term_avx512.h"

namespace vb::kernels {
namespace {

#define VB_INLINE inline __attribute__((always_inline))

template <class F, std::size_t kRows>
struct Micro {
  const float* q[kRows];
  const float* panel;
  const float* scale;  // the axis periods; unread on the unit torus

  // The period of coordinate c in every lane.
  VB_INLINE __m512 period(std::size_t c) const {
    if constexpr (F::scaled) return _mm512_set1_ps(scale[c]);
    return _mm512_setzero_ps();
  }

  // out[r] = partial sum j of row r: the terms of coordinates j, j + 8, ...
  template <std::size_t kDim>
  VB_INLINE void partial(std::size_t d, std::size_t j, __m512 (&out)[kRows]) const {
    const __m512 first = _mm512_load_ps(panel + j * kPanelWidth);
    const __m512 first_period = period(j);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) out[r] = metric_term<F>(_mm512_set1_ps(q[r][j]), first, first_period);
    for (std::size_t c = j + 8; c < (kDim != 0 ? kDim : d); c += 8) {
      const __m512 x = _mm512_load_ps(panel + c * kPanelWidth);
      const __m512 x_period = period(c);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) {
        out[r] = _mm512_add_ps(out[r], metric_term<F>(_mm512_set1_ps(q[r][c]), x, x_period));
      }
    }
  }

  // out = s_a + s_b (s_b left out when b >= d). Requires: a < d.
  template <std::size_t kDim>
  VB_INLINE void pair(std::size_t d, std::size_t a, std::size_t b, __m512 (&out)[kRows], __m512 (&scratch)[kRows]) const {
    partial<kDim>(d, a, out);
    if (b < (kDim != 0 ? kDim : d)) {
      partial<kDim>(d, b, scratch);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) out[r] = _mm512_add_ps(out[r], scratch[r]);
    }
  }

  template <std::size_t kDim>
  VB_INLINE void distances(std::size_t d, __m512 (&total)[kRows]) const {
    const std::size_t dim = kDim != 0 ? kDim : d;
    __m512 left[kRows], right[kRows], scratch[kRows];
    pair<kDim>(d, 0, 4, total, scratch);
    if (2 < dim) {
      pair<kDim>(d, 2, 6, left, scratch);
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) total[r] = _mm512_add_ps(total[r], left[r]);
    }
    if (1 < dim) {
      pair<kDim>(d, 1, 5, left, scratch);
      if (3 < dim) {
        pair<kDim>(d, 3, 7, right, scratch);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kRows; ++r) left[r] = _mm512_add_ps(left[r], right[r]);
      }
#pragma GCC unroll 8
      for (std::size_t r = 0; r < kRows; ++r) total[r] = _mm512_add_ps(total[r], left[r]);
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
  __m512i bound[kRows];
  for (std::size_t r = 0; r < kRows; ++r) {
    micro.q[r] = job.queries[r0 + r];
    bound[r] = _mm512_set1_epi32(static_cast<int>(job.bound[r0 + r]));
  }
  for (std::size_t p = 0; p < panel_count; ++p) {
    micro.panel = panels + p * d * kPanelWidth;
    __m512 total[kRows];
    micro.template distances<kDim>(d, total);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) {
      _mm512_storeu_ps(dist + r * stride + p * kPanelWidth, total[r]);
      admit_out[r * panel_count + p] =
          static_cast<std::uint16_t>(_mm512_cmple_epu32_mask(_mm512_castps_si512(total[r]), bound[r]));
    }
  }
}

template <class F, std::size_t kDim>
void tile(const TileJob& job) {
  std::size_t r = 0;
  for (; r + 4 <= job.rows; r += 4) rows_against_tile<F, 4, kDim>(job, r);
  switch (job.rows - r) {
    case 3:
      return rows_against_tile<F, 3, kDim>(job, r);
    case 2:
      return rows_against_tile<F, 2, kDim>(job, r);
    case 1:
      return rows_against_tile<F, 1, kDim>(job, r);
    default:
      return;
  }
}

// Transposes 16 rows of 16 floats in place: afterwards r[j] lane i holds
// what r[i] lane j held. Pairs of rows interleave by floats, then by float
// pairs, leaving each 128-bit lane L of vector 4m + q with column 4L + q of
// rows 4m .. 4m + 3; a 4 × 4 transpose of 128-bit blocks gathers them.
VB_INLINE void transpose16(__m512 (&r)[16]) {
  __m512 t[16];
#pragma GCC unroll 8
  for (std::size_t k = 0; k < 8; ++k) {
    t[2 * k] = _mm512_unpacklo_ps(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm512_unpackhi_ps(r[2 * k], r[2 * k + 1]);
  }
  __m512 u[16];
  const auto lo = [](__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  };
  const auto hi = [](__m512 a, __m512 b) {
    return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  };
#pragma GCC unroll 4
  for (std::size_t m = 0; m < 4; ++m) {
    u[4 * m] = lo(t[4 * m], t[4 * m + 2]);
    u[4 * m + 1] = hi(t[4 * m], t[4 * m + 2]);
    u[4 * m + 2] = lo(t[4 * m + 1], t[4 * m + 3]);
    u[4 * m + 3] = hi(t[4 * m + 1], t[4 * m + 3]);
  }
#pragma GCC unroll 4
  for (std::size_t q = 0; q < 4; ++q) {
    const __m512 e = _mm512_shuffle_f32x4(u[q], u[4 + q], 0x44);
    const __m512 f = _mm512_shuffle_f32x4(u[q], u[4 + q], 0xee);
    const __m512 g = _mm512_shuffle_f32x4(u[8 + q], u[12 + q], 0x44);
    const __m512 h = _mm512_shuffle_f32x4(u[8 + q], u[12 + q], 0xee);
    r[q] = _mm512_shuffle_f32x4(e, g, 0x88);
    r[4 + q] = _mm512_shuffle_f32x4(e, g, 0xdd);
    r[8 + q] = _mm512_shuffle_f32x4(f, h, 0x88);
    r[12 + q] = _mm512_shuffle_f32x4(f, h, 0xdd);
  }
}

}  // namespace

// Blocks of 16 candidates × 16 coordinates, read with masked loads (no
// access past a row) and transposed in registers.
void tile_pack_avx512(const float* points, std::size_t d, const std::int64_t* ids, std::size_t count, float* tile) {
  for (std::size_t p0 = 0; p0 < count; p0 += kPanelWidth) {
    const std::size_t lanes = count - p0 < kPanelWidth ? count - p0 : kPanelWidth;
    float* panel = tile + p0 * d;
    for (std::size_t c0 = 0; c0 < d; c0 += 16) {
      const std::size_t cols = d - c0 < 16 ? d - c0 : 16;
      const auto mask = static_cast<__mmask16>((1u << cols) - 1u);
      __m512 r[16];
#pragma GCC unroll 16
      for (std::size_t i = 0; i < 16; ++i) {
        r[i] = i < lanes ? _mm512_maskz_loadu_ps(mask, points + static_cast<std::uint64_t>(ids[p0 + i]) * d + c0)
                         : _mm512_setzero_ps();
      }
      transpose16(r);
      for (std::size_t k = 0; k < cols; ++k) _mm512_store_ps(panel + (c0 + k) * kPanelWidth, r[k]);
    }
  }
}

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

TileKernel tile_kernel_avx512(std::size_t d, Metric metric, bool scaled) {
  return with_form(metric, scaled, [d](auto f) { return tile_of<decltype(f)>(d); });
}

}  // namespace vb::kernels
