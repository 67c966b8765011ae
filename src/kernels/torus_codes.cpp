#include "kernels/torus_codes.h"

namespace vb::kernels {

std::size_t encode(const float* values, std::size_t count, std::uint8_t* out) {
  std::size_t off = 0;
  for (std::size_t i = 0; i < count; ++i) {
    off += on_torus(values[i]) ? 0 : 1;
    out[i] = torus_code(values[i]);
  }
  return off;
}

}  // namespace vb::kernels
