// AVX2 tile kernels: a candidate row's eight partial sums in one register,
// four candidates per step, their sums folded together in the documented
// order. Built with only the AVX2 flag and never with FMA contraction.
#include <immintrin.h>

#include "query/block_distance.h"

namespace vb::query {
namespace {

// Terms min(a, 1 - a), a = |q - x| with the sign bit cleared. minps returns
// its second operand when the comparison fails, as the portable term does.
inline __m256 terms8(__m256 q, __m256 x) {
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 a = _mm256_and_ps(_mm256_sub_ps(q, x), magnitude);
  return _mm256_min_ps(_mm256_sub_ps(_mm256_set1_ps(1.0f), a), a);
}

// The distances of four candidates, in candidate order, from their partial
// sums s0..s7: ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)) per candidate.
inline __m128 combine4(__m256 a, __m256 b, __m256 c, __m256 d) {
  const __m256 ab = _mm256_add_ps(_mm256_permute2f128_ps(a, b, 0x20), _mm256_permute2f128_ps(a, b, 0x31));
  const __m256 cd = _mm256_add_ps(_mm256_permute2f128_ps(c, d, 0x20), _mm256_permute2f128_ps(c, d, 0x31));
  // Lanes now hold p_j = s_j + s_(j+4): a and b in ab's halves, c and d in cd's.
  const __m256 even = _mm256_shuffle_ps(ab, cd, _MM_SHUFFLE(1, 0, 1, 0));
  const __m256 odd = _mm256_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 2, 3, 2));
  const __m256 h = _mm256_add_ps(even, odd);  // p0 + p2, p1 + p3 of a, c | of b, d
  const __m256 f = _mm256_add_ps(_mm256_shuffle_ps(h, h, _MM_SHUFFLE(2, 0, 2, 0)),
                                 _mm256_shuffle_ps(h, h, _MM_SHUFFLE(3, 1, 3, 1)));  // a, c, a, c | b, d, b, d
  return _mm_unpacklo_ps(_mm256_castps256_ps128(f), _mm256_extractf128_ps(f, 1));
}

inline float combine1(__m256 s) { return _mm_cvtss_f32(combine4(s, s, s, s)); }

// Lanes below n set, for n < 8.
inline __m256i tail_mask(std::size_t n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

template <class Sums>
inline void tile_loop(const float* tile, std::size_t stride, std::size_t count, float* out, const Sums& sums) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const float* x = tile + i * stride;
    _mm_storeu_ps(out + i, combine4(sums(x), sums(x + stride), sums(x + 2 * stride), sums(x + 3 * stride)));
  }
  for (; i < count; ++i) out[i] = combine1(sums(tile + i * stride));
}

// d = kDim, a multiple of 8: the query stays in registers, the first chunk's
// terms start the sums (0 + t = t exactly, as in the portable order).
template <std::size_t kDim>
void tile_fixed(const float* q, const float* tile, std::size_t, std::size_t count, float* out) {
  constexpr std::size_t kChunks = kDim / 8;
  __m256 qv[kChunks];
  for (std::size_t c = 0; c < kChunks; ++c) qv[c] = _mm256_loadu_ps(q + 8 * c);
  tile_loop(tile, kDim, count, out, [&](const float* x) {
    __m256 s = terms8(qv[0], _mm256_loadu_ps(x));
    for (std::size_t c = 1; c < kChunks; ++c) s = _mm256_add_ps(s, terms8(qv[c], _mm256_loadu_ps(x + 8 * c)));
    return s;
  });
}

// Any d: whole chunks of 8, then the remainder through masked loads, whose
// zero lanes add a term of exactly +0.
void tile_general(const float* q, const float* tile, std::size_t d, std::size_t count, float* out) {
  const std::size_t full = d / 8 * 8;
  const __m256i mask = tail_mask(d - full);
  const __m256 q_tail = _mm256_maskload_ps(q + full, mask);
  tile_loop(tile, d, count, out, [&](const float* x) {
    __m256 s = _mm256_setzero_ps();
    for (std::size_t c = 0; c < full; c += 8) s = _mm256_add_ps(s, terms8(_mm256_loadu_ps(q + c), _mm256_loadu_ps(x + c)));
    if (full < d) s = _mm256_add_ps(s, terms8(q_tail, _mm256_maskload_ps(x + full, mask)));
    return s;
  });
}

}  // namespace

TileDistance tile_distance_avx2(std::size_t d) {
  switch (d) {
    case 8:
      return tile_fixed<8>;
    case 16:
      return tile_fixed<16>;
    case 24:
      return tile_fixed<24>;
    default:
      return tile_general;
  }
}

}  // namespace vb::query
