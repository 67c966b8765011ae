// AVX-512 tile kernels: one panel (16 candidates) per register, measured by
// the micro-tile of tile_micro.h. Built with only the AVX-512 flags and never
// with FMA contraction.
#include <immintrin.h>

#include "base/metric.h"
#include "kernels/tile_distance.h"
#include "kernels/tile_micro.h"
#include "kernels/torus_term_avx512.h"

namespace vb::kernels {
namespace {

// One register of sixteen floats.
struct Avx512 {
  using Reg = __m512;
  static VB_INLINE Reg load(const float* p) { return _mm512_load_ps(p); }
  static VB_INLINE Reg splat(float v) { return _mm512_set1_ps(v); }
  static VB_INLINE Reg zero() { return _mm512_setzero_ps(); }
  static VB_INLINE Reg add(Reg a, Reg b) { return _mm512_add_ps(a, b); }
  template <class F>
  static VB_INLINE Reg term(Reg q, Reg x, Reg period) {
    return metric_term<F>(q, x, period);
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
  Micro<Avx512, F, kRows> micro;
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

template <class F, std::size_t kDim>
struct Tile {
  static void run(const TileJob& job) { tile<F, kDim>(job); }
};

}  // namespace

TileKernel tile_kernel_avx512(std::size_t d, Metric metric, bool scaled) {
  return with_form(metric, scaled, [d](auto f) { return kernel_of_dimension<Tile, decltype(f)>(d); });
}

}  // namespace vb::kernels
