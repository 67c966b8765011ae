#pragma once

#include <cstddef>
#include <cstdint>

// The inner loop of hashing, one digit of one table over a column of points:
// keys[i] += digit(column[i] + shift) * weight for i < m, with the digit formula
// of digit.h (one rounding per double operation, saturating truncation, clamp
// to b - 1, wrapping key arithmetic). Every variant gives the same keys bit for
// bit; the vector ones are compiled in files of their own with their ISA flags
// and are chosen once, by the CPU that runs the code.
namespace vb::index {

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

enum class HashLevel { kScalar, kAvx2, kAvx512 };

// The kernel for a level. Requires: the running CPU supports the level
// (supported_hash_level() or below), and b < 2^31 for kAvx2.
DigitColumnKernel digit_column_kernel(HashLevel level);

// The widest level this build and CPU support.
HashLevel supported_hash_level();

// The level hashing uses for radix b: the supported one, limited to scalar
// when b is too large for the 32-bit conversion of the AVX2 kernel.
HashLevel hash_level_for(std::int64_t b);

// Test hook (C++ only): caps the level used by compute_keys until reset with
// kAvx512. Not thread-safe with concurrent hashing.
void cap_hash_level(HashLevel level);

}  // namespace vb::index
