#pragma once

#include <immintrin.h>

#include "base/metric.h"

// The per-coordinate torus term (torus_term.h) on sixteen floats. Included
// only by files built for AVX-512; internal linkage for the reason
// torus_term.h gives.
namespace vb::kernels {
namespace {

inline __attribute__((always_inline)) __m512 torus_term(__m512 q, __m512 x) {
  const __m512 a = _mm512_abs_ps(_mm512_sub_ps(q, x));
  return _mm512_min_ps(_mm512_sub_ps(_mm512_set1_ps(1.0f), a), a);
}

template <class F>
inline __attribute__((always_inline)) __m512 metric_term(__m512 q, __m512 x, __m512 period) {
  return form_term<F>(torus_term(q, x), period, [](__m512 u, __m512 v) { return _mm512_mul_ps(u, v); });
}

}  // namespace
}  // namespace vb::kernels
