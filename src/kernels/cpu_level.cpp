#include "kernels/cpu_level.h"

#include <algorithm>
#include <atomic>

namespace vb::kernels {

namespace {
std::atomic<CpuLevel> level_cap{CpuLevel::kAvx512};
}

CpuLevel supported_cpu_level() {
#if defined(__x86_64__)
  static const CpuLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return CpuLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return CpuLevel::kAvx2;
    return CpuLevel::kPortable;
  }();
  return level;
#else
  return CpuLevel::kPortable;
#endif
}

bool supports_avx512bw() {
#if defined(__x86_64__)
  static const bool bw = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") != 0;
  }();
  return bw;
#else
  return false;
#endif
}

CpuLevel cpu_level() { return std::min(supported_cpu_level(), level_cap.load(std::memory_order_relaxed)); }

const char* cpu_level_name(CpuLevel level) {
  switch (level) {
    case CpuLevel::kAvx512:
      return "avx512";
    case CpuLevel::kAvx2:
      return "avx2";
    default:
      return "portable";
  }
}

void cap_cpu_level(CpuLevel level) { level_cap.store(level, std::memory_order_relaxed); }

}  // namespace vb::kernels
