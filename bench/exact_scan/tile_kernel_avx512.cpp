// AVX-512 tile kernel: one panel (16 points) per register. A micro-tile of
// kRows queries × kPanels panels keeps kRows × kPanels independent sums in
// registers, so the chain of additions of one sum never stalls the pipeline,
// and each point vector loaded serves kRows queries. Dimensions 8, 16 and 24
// are compiled with a fixed coordinate count. The loops over the micro-tile
// are unrolled at any optimisation level, so that the sums stay in registers.
#include <immintrin.h>

#include "exact_scan/tile_kernel.h"

namespace vb::exact_scan {
namespace {

template <std::size_t kRows, std::size_t kPanels, std::size_t kDim>
void micro_tile(const TileJob& job, std::size_t r0, std::size_t p0) {
  const std::size_t d = kDim != 0 ? kDim : job.d;
  const std::size_t panel_stride = d * kPanelWidth;
  const float* panel = job.panels + p0 * panel_stride;
  const float* q = job.queries + r0 * d;
  const __m512 one = _mm512_set1_ps(1.0f);
  __m512 acc[kRows][kPanels];
  #pragma GCC unroll 16
  for (std::size_t r = 0; r < kRows; ++r)
    #pragma GCC unroll 16
    for (std::size_t p = 0; p < kPanels; ++p) acc[r][p] = _mm512_setzero_ps();
  for (std::size_t c = 0; c < d; ++c) {
    __m512 x[kPanels];
    #pragma GCC unroll 16
    for (std::size_t p = 0; p < kPanels; ++p) x[p] = _mm512_load_ps(panel + p * panel_stride + c * kPanelWidth);
    #pragma GCC unroll 16
    for (std::size_t r = 0; r < kRows; ++r) {
      const __m512 qc = _mm512_set1_ps(q[r * d + c]);
      #pragma GCC unroll 16
      for (std::size_t p = 0; p < kPanels; ++p) {
        const __m512 a = _mm512_abs_ps(_mm512_sub_ps(qc, x[p]));
        // min(a, t) as an integer minimum of the bit patterns (see tile_kernel.h).
        const __m512i t = _mm512_castps_si512(_mm512_sub_ps(one, a));
        acc[r][p] = _mm512_add_ps(acc[r][p], _mm512_castsi512_ps(_mm512_min_epi32(_mm512_castps_si512(a), t)));
      }
    }
  }
  const std::size_t row_stride = job.panel_count * kPanelWidth;
  #pragma GCC unroll 16
  for (std::size_t r = 0; r < kRows; ++r) {
    const __m512i bound = _mm512_set1_epi32(static_cast<int>(job.bound[r0 + r]));
    #pragma GCC unroll 16
    for (std::size_t p = 0; p < kPanels; ++p) {
      _mm512_storeu_ps(job.dist + (r0 + r) * row_stride + (p0 + p) * kPanelWidth, acc[r][p]);
      job.flags[(r0 + r) * job.panel_count + p0 + p] =
          static_cast<std::uint16_t>(_mm512_cmple_epu32_mask(_mm512_castps_si512(acc[r][p]), bound));
    }
  }
}

template <std::size_t kRows, std::size_t kDim>
void rows_against_tile(const TileJob& job, std::size_t r0) {
  std::size_t p = 0;
  for (; p + 2 <= job.panel_count; p += 2) micro_tile<kRows, 2, kDim>(job, r0, p);
  if (p < job.panel_count) micro_tile<kRows, 1, kDim>(job, r0, p);
}

template <std::size_t kDim>
void tile(const TileJob& job) {
  std::size_t r = 0;
  for (; r + 4 <= job.rows; r += 4) rows_against_tile<4, kDim>(job, r);
  for (; r < job.rows; ++r) rows_against_tile<1, kDim>(job, r);
}

}  // namespace

void tile_distances_avx512(const TileJob& job) {
  switch (job.d) {
    case 8:
      return tile<8>(job);
    case 16:
      return tile<16>(job);
    case 24:
      return tile<24>(job);
    default:
      return tile<0>(job);
  }
}

}  // namespace vb::exact_scan
