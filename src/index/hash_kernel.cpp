#include "index/hash_kernel.h"

#include <algorithm>
#include <atomic>

#include "index/digit.h"

namespace vb::index {

#if defined(VB_HAVE_X86_KERNELS)
void digit_column_avx2(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys);
void digit_column_avx512(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys);
#endif

namespace {
std::atomic<HashLevel> level_cap{HashLevel::kAvx512};
}

void digit_column_scalar(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys) {
  for (std::size_t i = 0; i < m; ++i) {
    const double position = bucket_position(column[i], digit.shift, digit.buckets);
    keys[i] = add_digit(keys[i], digit_of(position, digit.top), digit.weight);
  }
}

HashLevel supported_hash_level() {
#if defined(VB_HAVE_X86_KERNELS)
  static const HashLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return HashLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return HashLevel::kAvx2;
    return HashLevel::kScalar;
  }();
  return level;
#else
  return HashLevel::kScalar;
#endif
}

HashLevel hash_level_for(std::int64_t b) {
  HashLevel level = std::min(supported_hash_level(), level_cap.load(std::memory_order_relaxed));
  if (level == HashLevel::kAvx2 && !(b >= 1 && b < (std::int64_t{1} << 31))) level = HashLevel::kScalar;
  return level;
}

DigitColumnKernel digit_column_kernel(HashLevel level) {
  switch (level) {
#if defined(VB_HAVE_X86_KERNELS)
    case HashLevel::kAvx512:
      return digit_column_avx512;
    case HashLevel::kAvx2:
      return digit_column_avx2;
#endif
    default:
      return digit_column_scalar;
  }
}

void cap_hash_level(HashLevel level) { level_cap.store(level, std::memory_order_relaxed); }

}  // namespace vb::index
