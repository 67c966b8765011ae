// AVX-512 tile kernels: as the AVX2 ones, with the terms of 16 coordinates per
// instruction (d = 16 and 24), or of two whole candidates at once (d = 8).
// Sixteen terms fold into the eight partial sums by adding the upper half to
// the lower, which is the portable order's s_j = t_j + t_(j+8). Built with
// only the AVX-512F flag and never with FMA contraction.
#include <immintrin.h>

#include "query/block_distance.h"

namespace vb::query {
namespace {

inline __m256 terms8(__m256 q, __m256 x) {
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 a = _mm256_and_ps(_mm256_sub_ps(q, x), magnitude);
  return _mm256_min_ps(_mm256_sub_ps(_mm256_set1_ps(1.0f), a), a);
}

inline __m512 terms16(__m512 q, __m512 x) {
  const __m512 a = _mm512_abs_ps(_mm512_sub_ps(q, x));
  return _mm512_min_ps(_mm512_sub_ps(_mm512_set1_ps(1.0f), a), a);
}

inline __m256 low(__m512 v) { return _mm512_castps512_ps256(v); }
inline __m256 high(__m512 v) { return _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)); }
inline __m256 fold(__m512 t) { return _mm256_add_ps(low(t), high(t)); }

// See the AVX2 kernels: four candidates' partial sums to their distances.
inline __m128 combine4(__m256 a, __m256 b, __m256 c, __m256 d) {
  const __m256 ab = _mm256_add_ps(_mm256_permute2f128_ps(a, b, 0x20), _mm256_permute2f128_ps(a, b, 0x31));
  const __m256 cd = _mm256_add_ps(_mm256_permute2f128_ps(c, d, 0x20), _mm256_permute2f128_ps(c, d, 0x31));
  const __m256 even = _mm256_shuffle_ps(ab, cd, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 odd = _mm256_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 h = _mm256_add_ps(even, odd);
  const __m256 f = _mm256_add_ps(_mm256_shuffle_ps(h, h, _MM_SHUFFLE(2, 0, 2, 0)),
                                 _mm256_shuffle_ps(h, h, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm_unpacklo_ps(_mm256_castps256_ps128(f), _mm256_extractf128_ps(f, 1));
}

inline float combine1(__m256 s) { return _mm_cvtss_f32(combine4(s, s, s, s)); }

template <class Sums>
inline void tile_loop(const float* tile, std::size_t stride, std::size_t count, float* out, const Sums& sums) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const float* x = tile + i * stride;
    _mm_storeu_ps(out + i, combine4(sums(x), sums(x + stride), sums(x + 2 * stride), sums(x + 3 * stride)));
  }
  for (; i < count; ++i) out[i] = combine1(sums(tile + i * stride));
}

// d = 8: two consecutive candidates per register, the query in both halves.
void tile_8(const float* q, const float* tile, std::size_t, std::size_t count, float* out) {
  const __m256 q8 = _mm256_loadu_ps(q);
  const __m512 qq =
      _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(q8)), _mm256_castps_pd(q8), 1));
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m512 ab = terms16(qq, _mm512_loadu_ps(tile + i * 8));
    const __m512 cd = terms16(qq, _mm512_loadu_ps(tile + i * 8 + 16));
    _mm_storeu_ps(out + i, combine4(low(ab), high(ab), low(cd), high(cd)));
  }
  for (; i < count; ++i) out[i] = combine1(terms8(q8, _mm256_loadu_ps(tile + i * 8)));
}

void tile_16(const float* q, const float* tile, std::size_t, std::size_t count, float* out) {
  const __m512 qv = _mm512_loadu_ps(q);
  tile_loop(tile, 16, count, out, [&](const float* x) { return fold(terms16(qv, _mm512_loadu_ps(x))); });
}

void tile_24(const float* q, const float* tile, std::size_t, std::size_t count, float* out) {
  const __m512 q01 = _mm512_loadu_ps(q);
  const __m256 q2 = _mm256_loadu_ps(q + 16);
  tile_loop(tile, 24, count, out, [&](const float* x) {
    return _mm256_add_ps(fold(terms16(q01, _mm512_loadu_ps(x))), terms8(q2, _mm256_loadu_ps(x + 16)));
  });
}

// Any d: chunks of 8 in order (a wider step would regroup the additions),
// the remainder through masked loads whose zero lanes add exactly +0.
void tile_general(const float* q, const float* tile, std::size_t d, std::size_t count, float* out) {
  const std::size_t full = d / 8 * 8;
  const __mmask16 mask = static_cast<__mmask16>((1u << (d - full)) - 1u);
  const __m256 q_tail = _mm512_castps512_ps256(_mm512_maskz_loadu_ps(mask, q + full));
  tile_loop(tile, d, count, out, [&](const float* x) {
    __m256 s = _mm256_setzero_ps();
    for (std::size_t c = 0; c < full; c += 8) s = _mm256_add_ps(s, terms8(_mm256_loadu_ps(q + c), _mm256_loadu_ps(x + c)));
    if (full < d) s = _mm256_add_ps(s, terms8(q_tail, _mm512_castps512_ps256(_mm512_maskz_loadu_ps(mask, x + full))));
    return s;
  });
}

}  // namespace

TileDistance tile_distance_avx512(std::size_t d) {
  switch (d) {
    case 8:
      return tile_8;
    case 16:
      return tile_16;
    case 24:
      return tile_24;
    default:
      return tile_general;
  }
}

}  // namespace vb::query
