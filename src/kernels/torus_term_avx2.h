#pragma once

#include <immintrin.h>

#include "base/metric.h"

// The per-coordinate torus term (torus_term.h) on eight floats. Included only
// by files built for AVX2; internal linkage for the reason torus_term.h gives.
namespace vb::kernels {
namespace {

inline __attribute__((always_inline)) __m256 torus_term(__m256 q, __m256 x) {
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 a = _mm256_and_ps(_mm256_sub_ps(q, x), magnitude);
  return _mm256_min_ps(_mm256_sub_ps(_mm256_set1_ps(1.0f), a), a);
}

template <class F>
inline __attribute__((always_inline)) __m256 metric_term(__m256 q, __m256 x, __m256 period) {
  return form_term<F>(torus_term(q, x), period, [](__m256 u, __m256 v) { return _mm256_mul_ps(u, v); });
}

}  // namespace
}  // namespace vb::kernels
