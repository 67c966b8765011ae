#include "kernels/row_distance.h"

#include <cstring>

#include "kernels/torus_term.h"

namespace vb::kernels {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kLineFloats = 64 / sizeof(float);

// Every cache line of a row of d floats, for reading, into all cache levels.
inline void prefetch_row(const float* row, std::size_t d) {
  __builtin_prefetch(row, 0, 3);
  for (std::size_t c = kLineFloats; c < d; c += kLineFloats) __builtin_prefetch(row + c, 0, 3);
  __builtin_prefetch(row + d - 1, 0, 3);  // a row that straddles one more line
}

template <class F>
inline float term(float q, float x, const float* scale, std::size_t c) {
  return metric_term<F>(q, x, F::scaled ? scale[c] : 1.0f);
}

template <class F>
float row_scalar(const float* q, const float* x, std::size_t n, const float* scale) {
  float s[kLanes] = {};
  std::size_t c = 0;
  for (; c + kLanes <= n; c += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) s[j] += term<F>(q[c + j], x[c + j], scale, c + j);
  }
  for (std::size_t j = 0; c + j < n; ++j) s[j] += term<F>(q[c + j], x[c + j], scale, c + j);
  return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

template <class F>
void list_scalar(const float* q, const float* points, std::size_t d, std::size_t n, const std::uint64_t* ids,
                 std::size_t count, const float* scale, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kPrefetchAhead < count) prefetch_row(points + ids[i + kPrefetchAhead] * d, d);
    out[i] = row_scalar<F>(q, points + ids[i] * d, n, scale);
  }
}

template <class F>
constexpr DistanceKernel kScalarKernel{"scalar", row_scalar<F>, list_scalar<F>};

#if defined(__SSE2__)

// The periods of coordinates c .. c + 3 (unread on the unit torus).
template <class F>
inline __m128 scale4(const float* scale, std::size_t c) {
  if constexpr (F::scaled) return _mm_loadu_ps(scale + c);
  return _mm_setzero_ps();
}

// Lanes 0-3 of the partial sums in lo, 4-7 in hi.
inline float combine(__m128 lo, __m128 hi) {
  const __m128 pairs = _mm_add_ps(lo, hi);                      // s0+s4, s1+s5, s2+s6, s3+s7
  const __m128 halves = _mm_add_ps(pairs, _mm_movehl_ps(pairs, pairs));  // (..)+(..): even, odd
  const __m128 odd = _mm_shuffle_ps(halves, halves, _MM_SHUFFLE(1, 1, 1, 1));
  return _mm_cvtss_f32(_mm_add_ss(halves, odd));
}

// Partial sums of the 8-coordinate groups starting at c for c < full (a
// multiple of 8), then the zero-padded remainder of n - full coordinates.
template <class F>
inline void accumulate(const float* q, const float* x, std::size_t full, std::size_t n, const float* scale,
                       __m128& lo, __m128& hi) {
  for (std::size_t c = 0; c < full; c += kLanes) {
    lo = _mm_add_ps(lo, metric_term<F>(_mm_loadu_ps(q + c), _mm_loadu_ps(x + c), scale4<F>(scale, c)));
    hi = _mm_add_ps(hi, metric_term<F>(_mm_loadu_ps(q + c + 4), _mm_loadu_ps(x + c + 4), scale4<F>(scale, c + 4)));
  }
  if (full < n) {
    // Zero padding adds a term of exactly +0 (a zero term times a zero
    // period), which changes no partial sum.
    alignas(16) float qt[kLanes] = {};
    alignas(16) float xt[kLanes] = {};
    alignas(16) float st[kLanes] = {};
    std::memcpy(qt, q + full, (n - full) * sizeof(float));
    std::memcpy(xt, x + full, (n - full) * sizeof(float));
    if constexpr (F::scaled) std::memcpy(st, scale + full, (n - full) * sizeof(float));
    lo = _mm_add_ps(lo, metric_term<F>(_mm_load_ps(qt), _mm_load_ps(xt), _mm_load_ps(st)));
    hi = _mm_add_ps(hi, metric_term<F>(_mm_load_ps(qt + 4), _mm_load_ps(xt + 4), _mm_load_ps(st + 4)));
  }
}

// kN > 0: exactly kN coordinates, a multiple of 8, unrolled by the compiler;
// kN = 0: any n.
template <class F, std::size_t kN>
inline float row_sse2_inline(const float* q, const float* x, std::size_t n, const float* scale) {
  __m128 lo = _mm_setzero_ps();
  __m128 hi = _mm_setzero_ps();
  if constexpr (kN > 0) {
    accumulate<F>(q, x, kN, kN, scale, lo, hi);
  } else {
    accumulate<F>(q, x, n / kLanes * kLanes, n, scale, lo, hi);
  }
  return combine(lo, hi);
}

template <class F>
float row_sse2(const float* q, const float* x, std::size_t n, const float* scale) {
  return row_sse2_inline<F, 0>(q, x, n, scale);
}

template <class F, std::size_t kN>
void list_sse2_n(const float* q, const float* points, std::size_t d, std::size_t n, const std::uint64_t* ids,
                 std::size_t count, const float* scale, float* out) {
  std::size_t i = 0;
  const std::size_t ahead = count > kPrefetchAhead ? count - kPrefetchAhead : 0;
  for (; i < ahead; ++i) {
    prefetch_row(points + ids[i + kPrefetchAhead] * d, d);
    out[i] = row_sse2_inline<F, kN>(q, points + ids[i] * d, n, scale);
  }
  for (; i < count; ++i) out[i] = row_sse2_inline<F, kN>(q, points + ids[i] * d, n, scale);
}

template <class F>
void list_sse2(const float* q, const float* points, std::size_t d, std::size_t n, const std::uint64_t* ids,
               std::size_t count, const float* scale, float* out) {
  switch (n) {
    case 8:
      return list_sse2_n<F, 8>(q, points, d, n, ids, count, scale, out);
    case 16:
      return list_sse2_n<F, 16>(q, points, d, n, ids, count, scale, out);
    case 24:
      return list_sse2_n<F, 24>(q, points, d, n, ids, count, scale, out);
    case 32:
      return list_sse2_n<F, 32>(q, points, d, n, ids, count, scale, out);
    default:
      return list_sse2_n<F, 0>(q, points, d, n, ids, count, scale, out);
  }
}

template <class F>
constexpr DistanceKernel kSse2Kernel{"sse2", row_sse2<F>, list_sse2<F>};

// A row of exactly kN coordinates: the call a survivor's distance makes,
// without the general kernel's counting and tail.
template <class F, std::size_t kN>
float row_sse2_n(const float* q, const float* x, std::size_t, const float* scale) {
  return row_sse2_inline<F, kN>(q, x, kN, scale);
}

template <class F>
RowDistance row_sse2_for(std::size_t d) {
  switch (d) {
    case 8:
      return row_sse2_n<F, 8>;
    case 16:
      return row_sse2_n<F, 16>;
    case 24:
      return row_sse2_n<F, 24>;
    case 32:
      return row_sse2_n<F, 32>;
    default:
      return row_sse2<F>;
  }
}

#endif

}  // namespace

const DistanceKernel& scalar_distance_kernel(Metric metric, bool scaled) {
  return with_form(metric, scaled, [](auto f) -> const DistanceKernel& { return kScalarKernel<decltype(f)>; });
}

const DistanceKernel& distance_kernel(CpuLevel, Metric metric, bool scaled) {
#if defined(__SSE2__)
  return with_form(metric, scaled, [](auto f) -> const DistanceKernel& { return kSse2Kernel<decltype(f)>; });
#else
  return scalar_distance_kernel(metric, scaled);
#endif
}

RowDistance row_distance_for(CpuLevel level, Metric metric, bool scaled, std::size_t d) {
#if defined(__SSE2__)
  (void)level;
  return with_form(metric, scaled, [d](auto f) { return row_sse2_for<decltype(f)>(d); });
#else
  (void)d;
  return distance_kernel(level, metric, scaled).row;
#endif
}

}  // namespace vb::kernels
