#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/cpu_level.h"

// The inner loop of hashing, one digit of one table over a column of points:
// keys[i] += digit(column[i] + shift) * weight for i < m, with the digit
// formula of digit.h (one rounding per double operation, saturating
// truncation, clamp to b - 1, wrapping key arithmetic). Every variant gives
// the same keys bit for bit; the vector ones are compiled in files of their
// own with their ISA flags, and an index's kernel table picks one when it is
// chosen (kernel_table.h).
namespace vb::kernels {

struct DigitColumn {
  double shift;         // u of this digit
  double buckets;       // b as a double
  std::int64_t top;     // b - 1
  std::int64_t weight;  // b^j
};

using DigitColumnKernel = void (*)(const double* column, std::size_t m, const DigitColumn& digit,
                                   std::int64_t* keys);

// Portable version, always built.
void digit_column_scalar(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys);

// The kernel for a level. Requires: the running CPU supports the level
// (supported_cpu_level() or below), and b < 2^31 for kAvx2.
DigitColumnKernel digit_column_kernel(CpuLevel level);

// One digit of one table over a column of query rows, with what their probes
// need: for i < m, codes[i] = the digit, frac[i] = the position within its
// bucket, position - digit clamped to [0, 1] (NaN kept), and keys[i] +=
// digit * weight, all as digit.h computes them one row at a time.
using DigitFracKernel = void (*)(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys,
                                 std::int64_t* codes, double* frac);

// Portable version, always built.
void digit_frac_scalar(const double* column, std::size_t m, const DigitColumn& digit, std::int64_t* keys,
                       std::int64_t* codes, double* frac);

// The kernel for a level and radix b; every one writes the same values bit for
// bit. Requires: the running CPU supports the level.
DigitFracKernel digit_frac_kernel(CpuLevel level, std::int64_t b);

// The level hashing uses for radix b: cpu_level(), limited to the portable
// one when b is too large for the 32-bit conversion of the AVX2 kernel.
CpuLevel hash_level_for(std::int64_t b);

}  // namespace vb::kernels
