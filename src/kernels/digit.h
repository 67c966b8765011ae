#pragma once

#include <cmath>
#include <cstdint>

// The digit formula shared by point hashing and query hashing. Every step is
// one IEEE double operation rounded on its own (the build forbids contraction
// into fused multiply-adds), so keys match the NumPy reference bit for bit.
namespace vb::kernels {

// floor(x) without a library call: exact for every double, including -0.0,
// infinities and NaN (which it returns unchanged).
inline double floor_exact(double x) {
  if (!(std::fabs(x) < 4503599627370496.0)) return x;  // |x| >= 2^52 is integral; NaN
  const double t = static_cast<double>(static_cast<std::int64_t>(x));
  // Truncation rounds negative non-integers up; copysign restores -0.0 for
  // x = -0.0 and changes nothing else. Both steps compile without branches.
  return std::copysign(t - (t > x ? 1.0 : 0.0), x);
}

// v truncated toward zero to int64, saturating: NaN gives 0, values at or above
// 2^63 the largest int64, values below -2^63 the smallest.
inline std::int64_t saturating_trunc(double v) {
  if (v != v) return 0;
  if (v >= 9223372036854775808.0) return INT64_MAX;
  if (v < -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(v);
}

// Bucket position of `coord` shifted by `shift` on a circle of `buckets` equal
// buckets: v = (x - floor(x)) * buckets with x = coord + shift. The digit is
// min(trunc(v), b - 1); the clamp catches x - floor(x) rounding up to 1.
inline double bucket_position(double coord, double shift, double buckets) {
  const double x = coord + shift;
  const double f = x - floor_exact(x);
  return f * buckets;
}

inline std::int64_t digit_of(double position, std::int64_t b_minus_1) {
  const std::int64_t c = saturating_trunc(position);
  return c < b_minus_1 ? c : b_minus_1;
}

// Two's-complement key arithmetic: key + digit * weight, wrapping.
inline std::int64_t add_digit(std::int64_t key, std::int64_t digit, std::int64_t weight) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(key) +
                                   static_cast<std::uint64_t>(digit) * static_cast<std::uint64_t>(weight));
}

}  // namespace vb::kernels
