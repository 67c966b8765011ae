// AVX2 tile kernel: a panel (16 points) is two 8-lane registers. A micro-tile
// of kRows queries × one panel keeps 2 × kRows independent sums in registers,
// and each point vector loaded serves kRows queries. Dimensions 8, 16 and 24
// are compiled with a fixed coordinate count. The loops over the micro-tile
// are unrolled at any optimisation level, so that the sums stay in registers.
#include <immintrin.h>

#include "exact_scan/tile_kernel.h"

namespace vb::exact_scan {
namespace {

constexpr std::size_t kHalves = 2;
constexpr std::size_t kHalfWidth = 8;

template <std::size_t kRows, std::size_t kDim>
void micro_tile(const TileJob& job, std::size_t r0, std::size_t p) {
  const std::size_t d = kDim != 0 ? kDim : job.d;
  const float* panel = job.panels + p * d * kPanelWidth;
  const float* q = job.queries + r0 * d;
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  __m256 acc[kRows][kHalves];
  #pragma GCC unroll 16
  for (std::size_t r = 0; r < kRows; ++r)
    #pragma GCC unroll 16
    for (std::size_t h = 0; h < kHalves; ++h) acc[r][h] = _mm256_setzero_ps();
  for (std::size_t c = 0; c < d; ++c) {
    __m256 x[kHalves];
    #pragma GCC unroll 16
    for (std::size_t h = 0; h < kHalves; ++h) x[h] = _mm256_load_ps(panel + c * kPanelWidth + h * kHalfWidth);
    #pragma GCC unroll 16
    for (std::size_t r = 0; r < kRows; ++r) {
      const __m256 qc = _mm256_broadcast_ss(q + r * d + c);
      #pragma GCC unroll 16
      for (std::size_t h = 0; h < kHalves; ++h) {
        const __m256 a = _mm256_and_ps(_mm256_sub_ps(qc, x[h]), magnitude);
        // min(a, t) as an integer minimum of the bit patterns (see tile_kernel.h).
        const __m256i t = _mm256_castps_si256(_mm256_sub_ps(one, a));
        acc[r][h] = _mm256_add_ps(acc[r][h], _mm256_castsi256_ps(_mm256_min_epi32(_mm256_castps_si256(a), t)));
      }
    }
  }
  const std::size_t row_stride = job.panel_count * kPanelWidth;
  // Unsigned a <= b is signed (a ^ sign) <= (b ^ sign); AVX2 only compares signed.
  const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  #pragma GCC unroll 16
  for (std::size_t r = 0; r < kRows; ++r) {
    const __m256i bound = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(job.bound[r0 + r])), sign);
    unsigned flags = 0;
    #pragma GCC unroll 16
    for (std::size_t h = 0; h < kHalves; ++h) {
      _mm256_storeu_ps(job.dist + (r0 + r) * row_stride + p * kPanelWidth + h * kHalfWidth, acc[r][h]);
      const __m256i bits = _mm256_xor_si256(_mm256_castps_si256(acc[r][h]), sign);
      const __m256i above = _mm256_cmpgt_epi32(bits, bound);
      const unsigned admitted = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(above))) & 0xffu;
      flags |= admitted << (h * kHalfWidth);
    }
    job.flags[(r0 + r) * job.panel_count + p] = static_cast<std::uint16_t>(flags);
  }
}

template <std::size_t kRows, std::size_t kDim>
void rows_against_tile(const TileJob& job, std::size_t r0) {
  for (std::size_t p = 0; p < job.panel_count; ++p) micro_tile<kRows, kDim>(job, r0, p);
}

template <std::size_t kDim>
void tile(const TileJob& job) {
  std::size_t r = 0;
  for (; r + 4 <= job.rows; r += 4) rows_against_tile<4, kDim>(job, r);
  for (; r < job.rows; ++r) rows_against_tile<1, kDim>(job, r);
}

}  // namespace

void tile_distances_avx2(const TileJob& job) {
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
