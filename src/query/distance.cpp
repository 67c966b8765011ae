#include "query/distance.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vb::query {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kLineFloats = 64 / sizeof(float);

// Every cache line of a row of d floats, for reading, into all cache levels.
inline void prefetch_row(const float* row, std::size_t d) {
  __builtin_prefetch(row, 0, 3);
  for (std::size_t c = kLineFloats; c < d; c += kLineFloats) __builtin_prefetch(row + c, 0, 3);
  __builtin_prefetch(row + d - 1, 0, 3);  // a row that straddles one more line
}

inline float term(float q, float x) {
  float a = q - x;
  std::uint32_t bits = 0;
  std::memcpy(&bits, &a, sizeof bits);
  bits &= 0x7fffffffu;
  std::memcpy(&a, &bits, sizeof bits);
  const float rest = 1.0f - a;
  return rest < a ? rest : a;  // the operand order of minps, so that NaNs come out alike
}

float row_scalar(const float* q, const float* x, std::size_t n) {
  float s[kLanes] = {};
  std::size_t c = 0;
  for (; c + kLanes <= n; c += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) s[j] += term(q[c + j], x[c + j]);
  }
  for (std::size_t j = 0; c + j < n; ++j) s[j] += term(q[c + j], x[c + j]);
  return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

void list_scalar(const float* q, const float* points, std::size_t d, std::size_t n, const std::uint64_t* ids,
                 std::size_t count, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    if (i + kPrefetchAhead < count) prefetch_row(points + ids[i + kPrefetchAhead] * d, d);
    out[i] = row_scalar(q, points + ids[i] * d, n);
  }
}

constexpr DistanceKernel kScalarKernel{"scalar", row_scalar, list_scalar};

#if defined(__SSE2__)

inline __m128 terms4(__m128 q, __m128 x) {
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 a = _mm_and_ps(_mm_sub_ps(q, x), magnitude);
  // minps returns its second operand when the comparison fails, as the scalar term does.
  return _mm_min_ps(_mm_sub_ps(_mm_set1_ps(1.0f), a), a);
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
inline void accumulate(const float* q, const float* x, std::size_t full, std::size_t n, __m128& lo, __m128& hi) {
  for (std::size_t c = 0; c < full; c += kLanes) {
    lo = _mm_add_ps(lo, terms4(_mm_loadu_ps(q + c), _mm_loadu_ps(x + c)));
    hi = _mm_add_ps(hi, terms4(_mm_loadu_ps(q + c + 4), _mm_loadu_ps(x + c + 4)));
  }
  if (full < n) {
    // Zero padding adds a term of exactly +0, which changes no partial sum.
    alignas(16) float qt[kLanes] = {};
    alignas(16) float xt[kLanes] = {};
    std::memcpy(qt, q + full, (n - full) * sizeof(float));
    std::memcpy(xt, x + full, (n - full) * sizeof(float));
    lo = _mm_add_ps(lo, terms4(_mm_load_ps(qt), _mm_load_ps(xt)));
    hi = _mm_add_ps(hi, terms4(_mm_load_ps(qt + 4), _mm_load_ps(xt + 4)));
  }
}

// kN > 0: exactly kN coordinates, a multiple of 8, unrolled by the compiler;
// kN = 0: any n.
template <std::size_t kN>
inline float row_sse2_inline(const float* q, const float* x, std::size_t n) {
  __m128 lo = _mm_setzero_ps();
  __m128 hi = _mm_setzero_ps();
  if constexpr (kN > 0) {
    accumulate(q, x, kN, kN, lo, hi);
  } else {
    accumulate(q, x, n / kLanes * kLanes, n, lo, hi);
  }
  return combine(lo, hi);
}

float row_sse2(const float* q, const float* x, std::size_t n) { return row_sse2_inline<0>(q, x, n); }

template <std::size_t kN>
void list_sse2_n(const float* q, const float* points, std::size_t d, std::size_t n, const std::uint64_t* ids,
                 std::size_t count, float* out) {
  std::size_t i = 0;
  const std::size_t ahead = count > kPrefetchAhead ? count - kPrefetchAhead : 0;
  for (; i < ahead; ++i) {
    prefetch_row(points + ids[i + kPrefetchAhead] * d, d);
    out[i] = row_sse2_inline<kN>(q, points + ids[i] * d, n);
  }
  for (; i < count; ++i) out[i] = row_sse2_inline<kN>(q, points + ids[i] * d, n);
}

void list_sse2(const float* q, const float* points, std::size_t d, std::size_t n, const std::uint64_t* ids,
               std::size_t count, float* out) {
  switch (n) {
    case 8:
      return list_sse2_n<8>(q, points, d, n, ids, count, out);
    case 16:
      return list_sse2_n<16>(q, points, d, n, ids, count, out);
    case 24:
      return list_sse2_n<24>(q, points, d, n, ids, count, out);
    case 32:
      return list_sse2_n<32>(q, points, d, n, ids, count, out);
    default:
      return list_sse2_n<0>(q, points, d, n, ids, count, out);
  }
}

constexpr DistanceKernel kSse2Kernel{"sse2", row_sse2, list_sse2};

#endif

}  // namespace

const DistanceKernel& scalar_distance_kernel() { return kScalarKernel; }

const DistanceKernel& distance_kernel(CpuLevel) {
#if defined(__SSE2__)
  return kSse2Kernel;
#else
  return kScalarKernel;
#endif
}

}  // namespace vb::query
