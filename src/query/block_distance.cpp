#include "query/block_distance.h"

#include <algorithm>
#include <atomic>

#include "query/distance.h"

namespace vb::query {

#if defined(VB_HAVE_X86_KERNELS)
TileDistance tile_distance_avx2(std::size_t d);
TileDistance tile_distance_avx512(std::size_t d);
#endif

namespace {

std::atomic<BlockLevel> level_cap{BlockLevel::kAvx512};

// The portable level runs the per-query path's row kernel (SSE2 on x86-64,
// plain C++ elsewhere), which sums in the same order.
void tile_portable(const float* q, const float* tile, std::size_t d, std::size_t count, float* out) {
  const RowDistance row = distance_kernel().row;
  for (std::size_t i = 0; i < count; ++i) out[i] = row(q, tile + i * d, d);
}

}  // namespace

BlockLevel supported_block_level() {
#if defined(VB_HAVE_X86_KERNELS)
  static const BlockLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return BlockLevel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return BlockLevel::kAvx2;
    return BlockLevel::kPortable;
  }();
  return level;
#else
  return BlockLevel::kPortable;
#endif
}

BlockLevel block_level() { return std::min(supported_block_level(), level_cap.load(std::memory_order_relaxed)); }

TileDistance tile_distance(BlockLevel level, std::size_t d) {
  switch (level) {
#if defined(VB_HAVE_X86_KERNELS)
    case BlockLevel::kAvx512:
      return tile_distance_avx512(d);
    case BlockLevel::kAvx2:
      return tile_distance_avx2(d);
#endif
    default:
      return tile_portable;
  }
}

const char* block_level_name(BlockLevel level) {
  switch (level) {
    case BlockLevel::kAvx512:
      return "avx512";
    case BlockLevel::kAvx2:
      return "avx2";
    default:
      return "portable";
  }
}

void cap_block_level(BlockLevel level) { level_cap.store(level, std::memory_order_relaxed); }

}  // namespace vb::query
