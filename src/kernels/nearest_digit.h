#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/cpu_level.h"

// The choice behind a multi-probe key, for a stretch of query rows at once:
// per row, the digit whose bucket boundary is nearest. The margins lie
// digit-major, so that every variant reads one digit of many rows per step;
// all of them choose the same digits.
namespace vb::kernels {

// For each row i < count, chosen[i] = the lowest digit j < k whose margin
// margin[j × stride + i] is the smallest one below 2.0, or 0 when no margin is
// (all NaN, or 2.0 and above). A NaN margin is never chosen: every comparison
// is an ordered `<`, so ties and NaN keep the earlier choice.
// Requires: stride >= count; chosen holds count values.
using NearestDigitKernel = void (*)(const double* margin, std::size_t stride, std::size_t k, std::size_t count,
                                    std::int64_t* chosen);

// Portable version, always built; the AVX2 one finishes its last rows with it
// (the AVX-512 one masks them).
void nearest_digit_scalar(const double* margin, std::size_t stride, std::size_t k, std::size_t count,
                          std::int64_t* chosen);

// The kernel for a level. Requires: the running CPU supports the level.
NearestDigitKernel nearest_digit_kernel(CpuLevel level);

}  // namespace vb::kernels
