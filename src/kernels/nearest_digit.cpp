#include "kernels/nearest_digit.h"

namespace vb::kernels {

#if defined(VB_HAVE_X86_KERNELS)
void nearest_digit_avx2(const double* margin, std::size_t stride, std::size_t k, std::size_t count,
                        std::int64_t* chosen);
void nearest_digit_avx512(const double* margin, std::size_t stride, std::size_t k, std::size_t count,
                          std::int64_t* chosen);
#endif

void nearest_digit_scalar(const double* margin, std::size_t stride, std::size_t k, std::size_t count,
                          std::int64_t* chosen) {
  for (std::size_t i = 0; i < count; ++i) {
    double best = 2.0;
    std::int64_t digit = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const double here = margin[j * stride + i];
      if (here < best) {
        best = here;
        digit = static_cast<std::int64_t>(j);
      }
    }
    chosen[i] = digit;
  }
}

NearestDigitKernel nearest_digit_kernel(CpuLevel level) {
  switch (level) {
#if defined(VB_HAVE_X86_KERNELS)
    case CpuLevel::kAvx512:
      return nearest_digit_avx512;
    case CpuLevel::kAvx2:
      return nearest_digit_avx2;
#endif
    default:
      return nearest_digit_scalar;
  }
}

}  // namespace vb::kernels
