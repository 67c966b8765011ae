#include "kernels/tile_distance.h"

#include <bit>

#include "kernels/torus_term.h"

namespace vb::kernels {

#if defined(VB_HAVE_X86_KERNELS)
TileKernel tile_kernel_avx2(std::size_t d, Metric metric, bool scaled);
TileKernel tile_kernel_avx512(std::size_t d, Metric metric, bool scaled);
void tile_pack_avx512(const float* points, std::size_t d, const std::int64_t* ids, std::size_t count, float* tile);
#endif

namespace {

template <class F>
inline float term(float q, float x, const float* scale, std::size_t c) {
  return metric_term<F>(q, x, F::scaled ? scale[c] : 1.0f);
}

// Lane by lane, the partial sums of row_distance.h kept as eight accumulators.
template <class F>
void tile_portable(const TileJob& job) {
  const std::size_t d = job.d;
  const std::size_t stride = job.panel_count * kPanelWidth;
  for (std::size_t r = 0; r < job.rows; ++r) {
    const float* q = job.queries[r];
    for (std::size_t p = 0; p < job.panel_count; ++p) {
      const float* panel = job.panels + p * d * kPanelWidth;
      float s[8][kPanelWidth] = {};
      for (std::size_t c = 0; c < d; ++c) {
        for (std::size_t j = 0; j < kPanelWidth; ++j) s[c % 8][j] += term<F>(q[c], panel[c * kPanelWidth + j], job.scale, c);
      }
      float* out = job.dist + r * stride + p * kPanelWidth;
      unsigned admit = 0;
      for (std::size_t j = 0; j < kPanelWidth; ++j) {
        out[j] = ((s[0][j] + s[4][j]) + (s[2][j] + s[6][j])) + ((s[1][j] + s[5][j]) + (s[3][j] + s[7][j]));
        if (std::bit_cast<std::uint32_t>(out[j]) <= job.bound[r]) admit |= 1u << j;
      }
      job.admit[r * job.panel_count + p] = static_cast<std::uint16_t>(admit);
    }
  }
}

void tile_pack_portable(const float* points, std::size_t d, const std::int64_t* ids, std::size_t count,
                        float* tile) {
  const std::size_t lanes = (count + kPanelWidth - 1) / kPanelWidth * kPanelWidth;
  // Rows first, then the padding lanes: no test per coordinate.
  for (std::size_t i = 0; i < count; ++i) {
    float* lane = tile + (i / kPanelWidth) * d * kPanelWidth + i % kPanelWidth;
    const float* row = points + static_cast<std::uint64_t>(ids[i]) * d;
    for (std::size_t c = 0; c < d; ++c) lane[c * kPanelWidth] = row[c];
  }
  for (std::size_t i = count; i < lanes; ++i) {
    float* lane = tile + (i / kPanelWidth) * d * kPanelWidth + i % kPanelWidth;
    for (std::size_t c = 0; c < d; ++c) lane[c * kPanelWidth] = 0.0f;
  }
}

}  // namespace

TilePack tile_pack(CpuLevel level, std::size_t d) {
#if defined(VB_HAVE_X86_KERNELS)
  // Below 8 coordinates a 16 × 16 block transpose moves mostly padding.
  if (level == CpuLevel::kAvx512 && d >= 8) return tile_pack_avx512;
#endif
  (void)level;
  (void)d;
  return tile_pack_portable;
}

TileKernel tile_kernel(CpuLevel level, std::size_t d, Metric metric, bool scaled) {
  switch (level) {
#if defined(VB_HAVE_X86_KERNELS)
    case CpuLevel::kAvx512:
      return tile_kernel_avx512(d, metric, scaled);
    case CpuLevel::kAvx2:
      return tile_kernel_avx2(d, metric, scaled);
#endif
    default:
      return with_form(metric, scaled, [](auto f) -> TileKernel { return tile_portable<decltype(f)>; });
  }
}

}  // namespace vb::kernels
