#include "exact_scan/panels.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "exact_scan/tile_kernel.h"

namespace vb::exact_scan {

namespace {
constexpr std::size_t kAlignment = 64;
}

void Panels::Free::operator()(float* p) const { std::free(p); }

Panels::Panels(const float* points, std::size_t n, std::size_t d)
    : count_((n + kPanelWidth - 1) / kPanelWidth), points_(n), dim_(d) {
  const std::size_t floats = count_ * d * kPanelWidth;
  if (floats != 0 && floats / kPanelWidth / count_ != d) throw std::bad_alloc();
  // aligned_alloc wants a multiple of the alignment, and a non-zero size.
  std::size_t bytes = floats * sizeof(float);
  bytes = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  if (bytes == 0) bytes = kAlignment;
  data_.reset(static_cast<float*>(std::aligned_alloc(kAlignment, bytes)));
  if (!data_) throw std::bad_alloc();
  float* out = data_.get();
  for (std::size_t p = 0; p < count_; ++p) {
    float* panel = out + p * d * kPanelWidth;
    const std::size_t first = p * kPanelWidth;
    const std::size_t valid = std::min(kPanelWidth, n - first);
    for (std::size_t j = 0; j < valid; ++j) {
      const float* point = points + (first + j) * d;
      for (std::size_t c = 0; c < d; ++c) panel[c * kPanelWidth + j] = point[c];
    }
    for (std::size_t j = valid; j < kPanelWidth; ++j) {
      for (std::size_t c = 0; c < d; ++c) panel[c * kPanelWidth + j] = 0.0f;
    }
  }
}

}  // namespace vb::exact_scan
