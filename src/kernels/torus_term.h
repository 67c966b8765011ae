#pragma once

#include <bit>
#include <cstdint>

#include "base/metric.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The one per-coordinate operation every distance kernel is built from, at
// the widths the baseline build has (one float; four with SSE2, x86-64's
// baseline). The wider widths are in torus_term_avx2.h and
// torus_term_avx512.h, each included only by files built for that level.
//
// torus_term: a = |q - x| (the subtraction rounded to float, the sign bit
// cleared) and the unit-torus term min(1 - a, a), with minps's operand order:
// its second operand is returned when the comparison fails, so a NaN comes
// out of every width alike. |q - x| and |x - q| are the same bits.
// metric_term: that term formed by the metric and the axis period
// (base/metric.h); the period is unread on the unit torus.
//
// The helpers have internal linkage on purpose: a file built with wider ISA
// flags must never lend its copy of an inline helper to a baseline caller.
namespace vb::kernels {
namespace {

inline __attribute__((always_inline)) float torus_term(float q, float x) {
  const float a = std::bit_cast<float>(std::bit_cast<std::uint32_t>(q - x) & 0x7fffffffu);
  const float rest = 1.0f - a;
  return rest < a ? rest : a;
}

template <class F>
inline __attribute__((always_inline)) float metric_term(float q, float x, float period) {
  return form_term<F>(torus_term(q, x), period, [](float u, float v) { return u * v; });
}

#if defined(__SSE2__)

inline __attribute__((always_inline)) __m128 torus_term(__m128 q, __m128 x) {
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 a = _mm_and_ps(_mm_sub_ps(q, x), magnitude);
  return _mm_min_ps(_mm_sub_ps(_mm_set1_ps(1.0f), a), a);
}

template <class F>
inline __attribute__((always_inline)) __m128 metric_term(__m128 q, __m128 x, __m128 period) {
  return form_term<F>(torus_term(q, x), period, [](__m128 u, __m128 v) { return _mm_mul_ps(u, v); });
}

#endif

}  // namespace
}  // namespace vb::kernels
