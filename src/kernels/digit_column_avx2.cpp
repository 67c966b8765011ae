// AVX2 digit kernel: four points per step. Requires b < 2^31, so that every
// bucket position (in [0, b], or NaN) converts exactly through 32-bit integers.
// Built with only the AVX2 flag and never with FMA contraction.
#include <immintrin.h>

#include "kernels/digit_column.h"

namespace vb::kernels {

namespace {

// One digit over a column, adding digit * weight to keys; with kWithFrac also
// writing each row's digit and its position within the bucket, as the probes
// need them. One body for both, so the digits stay the same bit for bit.
template <bool kWithFrac>
void digits(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys, std::int64_t* codes,
            double* frac) {
  const __m256d shift = _mm256_set1_pd(digit.shift);
  const __m256d buckets = _mm256_set1_pd(digit.buckets);
  const __m256d zero_pd = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m128i top = _mm_set1_epi32(static_cast<int>(digit.top));
  const __m128i zero = _mm_setzero_si128();
  const std::uint64_t w = static_cast<std::uint64_t>(digit.weight);
  const __m256i weight_low = _mm256_set1_epi64x(static_cast<long long>(w & 0xffffffffu));
  const __m256i weight_high = _mm256_set1_epi64x(static_cast<long long>(w >> 32));
  std::size_t i = 0;
  for (; i + 4 <= m; i += 4) {
    const __m256d x = _mm256_add_pd(_mm256_loadu_pd(column + i), shift);
    const __m256d floor = _mm256_round_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256d position = _mm256_mul_pd(_mm256_sub_pd(x, floor), buckets);
    // NaN converts to the smallest int32; real positions are never negative,
    // so the maximum with 0 maps exactly NaN to digit 0.
    __m128i code = _mm256_cvttpd_epi32(position);
    code = _mm_min_epi32(_mm_max_epi32(code, zero), top);
    const __m256i wide = _mm256_cvtepi32_epi64(code);
    if constexpr (kWithFrac) {
      // The clamp by comparisons, as std::clamp: a NaN compares false both ways and stays.
      __m256d in_bucket = _mm256_sub_pd(position, _mm256_cvtepi32_pd(code));
      in_bucket = _mm256_blendv_pd(in_bucket, zero_pd, _mm256_cmp_pd(in_bucket, zero_pd, _CMP_LT_OQ));
      in_bucket = _mm256_blendv_pd(in_bucket, one, _mm256_cmp_pd(one, in_bucket, _CMP_LT_OQ));
      _mm256_storeu_pd(frac + i, in_bucket);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(codes + i), wide);
    }
    // code * weight modulo 2^64 from two 32 x 32 -> 64-bit products.
    const __m256i product = _mm256_add_epi64(_mm256_mul_epu32(wide, weight_low),
                                             _mm256_slli_epi64(_mm256_mul_epu32(wide, weight_high), 32));
    const __m256i key = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + i), _mm256_add_epi64(key, product));
  }
  if (i == m) return;
  if constexpr (kWithFrac) {
    digit_frac_scalar(column + i, m - i, digit, keys + i, codes + i, frac + i);
  } else {
    digit_column_scalar(column + i, m - i, digit, keys + i);
  }
}

}  // namespace

void digit_column_avx2(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys) {
  digits<false>(column, m, digit, keys, nullptr, nullptr);
}

void digit_frac_avx2(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys,
                     std::int64_t* codes, double* frac) {
  digits<true>(column, m, digit, keys, codes, frac);
}

}  // namespace vb::kernels
