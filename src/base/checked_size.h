#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace vb {

// a × b for buffer sizes. A product that does not fit, or that could not be
// addressed as `element_bytes`-byte elements, is an allocation that can never
// succeed, so it is reported as std::bad_alloc (a MemoryError for the user).
inline std::size_t checked_mul(std::size_t a, std::size_t b, std::size_t element_bytes = 8) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw std::bad_alloc();
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(product, element_bytes, &bytes) ||
      bytes > static_cast<std::size_t>(INT64_MAX)) {
    throw std::bad_alloc();
  }
  return product;
}

}  // namespace vb
