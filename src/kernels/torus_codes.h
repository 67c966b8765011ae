#pragma once

#include <cstddef>
#include <cstdint>

// Byte codes of coordinates on the unit torus: coordinate x in [0, 1] gets
// the code c = floor(256 x) mod 256, so that x lies in [c / 256, (c + 1) / 256)
// (x = 1 is the point 0 of the circle and gets code 0). The codes are taken
// from the single-precision coordinates the distance kernels read: 256 x is
// exact in single precision, so the interval holds the very value the
// kernels measure.
//
// A coordinate outside [0, 1] (or NaN) has no interval on the circle that
// the kernels' terms respect (a term min(a, 1 - a) turns negative there), so
// it gets code 0 and is counted: a bound over codes is only used when no
// coordinate of either side lies off the torus.
namespace vb::kernels {

// The code of one coordinate (0 for a coordinate off the torus).
inline std::uint8_t torus_code(float x) {
  if (!(x >= 0.0f && x <= 1.0f)) return 0;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(x * 256.0f) & 0xffu);
}

// Whether x lies on the torus as the codes read it: in [0, 1], not NaN.
inline bool on_torus(float x) { return x >= 0.0f && x <= 1.0f; }

// out[i] = torus_code(values[i]) for i < count; returns how many values lie
// off the torus. Runs on the calling thread.
std::size_t encode(const float* values, std::size_t count, std::uint8_t* out);

}  // namespace vb::kernels
