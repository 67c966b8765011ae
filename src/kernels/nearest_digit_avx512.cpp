// AVX-512 (F) nearest-digit kernel: eight rows per step, their running best
// margin and digit held in registers across the digits, the last rows under a
// mask. The comparison is the ordered `<` of the portable version, so the
// choices are the same.
#include <immintrin.h>

#include "kernels/nearest_digit.h"

namespace vb::kernels {

void nearest_digit_avx512(const double* margin, std::size_t stride, std::size_t k, std::size_t count,
                          std::int64_t* chosen) {
  const __m512d above = _mm512_set1_pd(2.0);
  for (std::size_t i = 0; i < count; i += 8) {
    const std::size_t left = count - i;
    const __mmask8 rows = left >= 8 ? __mmask8{0xFF} : static_cast<__mmask8>((1u << left) - 1);
    __m512d best = above;
    __m512i digit = _mm512_setzero_si512();
    for (std::size_t j = 0; j < k; ++j) {
      // Lanes past the stretch load nothing; their choice is never stored.
      const __m512d here = _mm512_maskz_loadu_pd(rows, margin + j * stride + i);
      const __mmask8 nearer = _mm512_cmp_pd_mask(here, best, _CMP_LT_OQ);
      best = _mm512_mask_mov_pd(best, nearer, here);
      digit = _mm512_mask_mov_epi64(digit, nearer, _mm512_set1_epi64(static_cast<long long>(j)));
    }
    _mm512_mask_storeu_epi64(chosen + i, rows, digit);
  }
}

}  // namespace vb::kernels
