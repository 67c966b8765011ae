#include "exact_scan/tile_kernel.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <initializer_list>

namespace vb::exact_scan {

#if defined(VB_HAVE_X86_KERNELS)
void tile_distances_avx2(const TileJob& job);
void tile_distances_avx512(const TileJob& job);
#endif

void tile_distances_scalar(const TileJob& job) {
  const std::size_t d = job.d;
  const std::size_t row_stride = job.panel_count * kPanelWidth;
  for (std::size_t r = 0; r < job.rows; ++r) {
    const float* q = job.queries + r * d;
    for (std::size_t p = 0; p < job.panel_count; ++p) {
      const float* panel = job.panels + p * d * kPanelWidth;
      float acc[kPanelWidth] = {};
      for (std::size_t c = 0; c < d; ++c) {
        const float qc = q[c];
        const float* x = panel + c * kPanelWidth;
        // Kept as a loop for the vectoriser (a fully unrolled body is not vectorised).
#pragma GCC unroll 1
        for (std::size_t j = 0; j < kPanelWidth; ++j) {
          const float a = std::fabs(qc - x[j]);
          const float t = 1.0f - a;
          // The vector minimum's rule, so that every level agrees bit for bit.
          acc[j] += a < t ? a : t;
        }
      }
      float* out = job.dist + r * row_stride + p * kPanelWidth;
      std::uint16_t flags = 0;
      for (std::size_t j = 0; j < kPanelWidth; ++j) {
        out[j] = acc[j];
        if (std::bit_cast<std::uint32_t>(acc[j]) <= job.bound[r]) flags |= static_cast<std::uint16_t>(1u << j);
      }
      job.flags[r * job.panel_count + p] = flags;
    }
  }
}

ScanLevel supported_scan_level() {
#if defined(VB_HAVE_X86_KERNELS)
  static const ScanLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return ScanLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return ScanLevel::kAvx2;
    return ScanLevel::kScalar;
  }();
  return level;
#else
  return ScanLevel::kScalar;
#endif
}

TileKernel tile_kernel(ScanLevel level) {
  switch (level) {
#if defined(VB_HAVE_X86_KERNELS)
    case ScanLevel::kAvx512:
      return tile_distances_avx512;
    case ScanLevel::kAvx2:
      return tile_distances_avx2;
#endif
    default:
      return tile_distances_scalar;
  }
}

const char* level_name(ScanLevel level) {
  switch (level) {
    case ScanLevel::kAvx512:
      return "avx512";
    case ScanLevel::kAvx2:
      return "avx2";
    default:
      return "scalar";
  }
}

bool parse_level(const char* name, ScanLevel* level) {
  for (ScanLevel candidate : {ScanLevel::kScalar, ScanLevel::kAvx2, ScanLevel::kAvx512}) {
    if (std::strcmp(name, level_name(candidate)) == 0) {
      *level = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace vb::exact_scan
