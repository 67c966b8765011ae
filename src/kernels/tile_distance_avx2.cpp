// AVX2 tile kernels: half a panel (8 candidates) per register, measured by
// the micro-tile of tile_micro.h. Built with only the AVX2 flag and never with
// FMA contraction.
#include <immintrin.h>

#include "base/metric.h"
#include "kernels/tile_distance.h"
#include "kernels/tile_micro.h"
#include "kernels/torus_term_avx2.h"

namespace vb::kernels {
namespace {

// One register of eight floats.
struct Avx2 {
  using Reg = __m256;
  static VB_INLINE Reg load(const float* p) { return _mm256_load_ps(p); }
  static VB_INLINE Reg splat(float v) { return _mm256_set1_ps(v); }
  static VB_INLINE Reg zero() { return _mm256_setzero_ps(); }
  static VB_INLINE Reg add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
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
  Micro<Avx2, F, kRows> micro;
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

template <class F, std::size_t kDim>
struct Tile {
  static void run(const TileJob& job) { tile<F, kDim>(job); }
};

}  // namespace

TileKernel tile_kernel_avx2(std::size_t d, Metric metric, bool scaled) {
  return with_form(metric, scaled, [d](auto f) { return kernel_of_dimension<Tile, decltype(f)>(d); });
}

}  // namespace vb::kernels
