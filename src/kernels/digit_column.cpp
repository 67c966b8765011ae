#include "kernels/digit_column.h"

#include <algorithm>

#include "kernels/digit.h"

namespace vb::kernels {

#if defined(VB_HAVE_X86_KERNELS)
void digit_column_avx2(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys);
void digit_column_avx512(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys);
void digit_frac_avx2(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys,
                     std::int64_t* codes, double* frac);
#endif

void digit_column_scalar(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys) {
  for (std::size_t i = 0; i < m; ++i) {
    const double position = bucket_position(column[i], digit.shift, digit.buckets);
    keys[i] = add_digit(keys[i], digit_of(position, digit.top), digit.weight);
  }
}

void digit_frac_scalar(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys,
                       std::int64_t* codes, double* frac) {
  for (std::size_t i = 0; i < m; ++i) {
    const double position = bucket_position(column[i], digit.shift, digit.buckets);
    const std::int64_t code = digit_of(position, digit.top);
    codes[i] = code;
    // std::clamp keeps a NaN position as it is.
    frac[i] = std::clamp(position - static_cast<double>(code), 0.0, 1.0);
    keys[i] = add_digit(keys[i], code, digit.weight);
  }
}

DigitFracKernel digit_frac_kernel(CpuLevel level, std::int64_t b) {
#if defined(VB_HAVE_X86_KERNELS)
  // Every AVX-512 CPU runs AVX2; the 32-bit conversion needs b < 2^31.
  if (level >= CpuLevel::kAvx2 && b >= 1 && b < (std::int64_t{1} << 31)) return digit_frac_avx2;
#endif
  (void)level;
  (void)b;
  return digit_frac_scalar;
}

CpuLevel hash_level_for(std::int64_t b) {
  CpuLevel level = cpu_level();
  if (level == CpuLevel::kAvx2 && !(b >= 1 && b < (std::int64_t{1} << 31))) level = CpuLevel::kPortable;
  return level;
}

DigitColumnKernel digit_column_kernel(CpuLevel level) {
  switch (level) {
#if defined(VB_HAVE_X86_KERNELS)
    case CpuLevel::kAvx512:
      return digit_column_avx512;
    case CpuLevel::kAvx2:
      return digit_column_avx2;
#endif
    default:
      return digit_column_scalar;
  }
}

}  // namespace vb::kernels
