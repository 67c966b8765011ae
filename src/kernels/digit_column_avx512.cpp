// AVX-512 (F + DQ) digit kernel: eight points per step. Built with only these
// ISA flags and never with FMA contraction; the operations below are the same
// IEEE double operations as the portable version, in the same order.
#include <immintrin.h>

#include "kernels/digit_column.h"

namespace vb::kernels {

void digit_column_avx512(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys) {
  const __m512d shift = _mm512_set1_pd(digit.shift);
  const __m512d buckets = _mm512_set1_pd(digit.buckets);
  const __m512d two_to_63 = _mm512_set1_pd(9223372036854775808.0);
  const __m512i top = _mm512_set1_epi64(digit.top);
  const __m512i weight = _mm512_set1_epi64(digit.weight);
  const __m512i largest = _mm512_set1_epi64(INT64_MAX);
  std::size_t i = 0;
  for (; i + 8 <= m; i += 8) {
    const __m512d x = _mm512_add_pd(_mm512_loadu_pd(column + i), shift);
    const __m512d floor = _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512d position = _mm512_mul_pd(_mm512_sub_pd(x, floor), buckets);
    // The conversion yields the smallest int64 for NaN and out-of-range values:
    // right for values below -2^63, so only NaN and the top end are corrected.
    __m512i code = _mm512_cvttpd_epi64(position);
    code = _mm512_mask_mov_epi64(code, _mm512_cmp_pd_mask(position, position, _CMP_UNORD_Q), _mm512_setzero_si512());
    code = _mm512_mask_mov_epi64(code, _mm512_cmp_pd_mask(position, two_to_63, _CMP_GE_OQ), largest);
    code = _mm512_min_epi64(code, top);
    const __m512i key = _mm512_loadu_si512(keys + i);
    _mm512_storeu_si512(keys + i, _mm512_add_epi64(key, _mm512_mullo_epi64(code, weight)));
  }
  if (i < m) digit_column_scalar(column + i, m - i, digit, keys + i);
}

}  // namespace vb::kernels
