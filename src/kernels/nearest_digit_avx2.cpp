// AVX2 nearest-digit kernel: four rows per step, their running best margin
// and digit held in registers across the digits. The comparison is the
// ordered `<` of the portable version, so the choices are the same.
#include <immintrin.h>

#include "kernels/nearest_digit.h"

namespace vb::kernels {

void nearest_digit_avx2(const double* margin, std::size_t stride, std::size_t k, std::size_t count,
                        std::int64_t* chosen) {
  const __m256d above = _mm256_set1_pd(2.0);
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m256d best = above;
    __m256d digit = _mm256_setzero_pd();  // the digits' int64 bits, blended as doubles
    for (std::size_t j = 0; j < k; ++j) {
      const __m256d here = _mm256_loadu_pd(margin + j * stride + i);
      const __m256d nearer = _mm256_cmp_pd(here, best, _CMP_LT_OQ);
      best = _mm256_blendv_pd(best, here, nearer);
      const __m256d j_bits = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(j)));
      digit = _mm256_blendv_pd(digit, j_bits, nearer);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(chosen + i), _mm256_castpd_si256(digit));
  }
  if (i < count) nearest_digit_scalar(margin + i, stride, k, count - i, chosen + i);
}

}  // namespace vb::kernels
