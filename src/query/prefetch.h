#pragma once

namespace vb::query {

// Requests the cache line holding `p` for reading. The empty volatile asm
// keeps the request alive: the optimiser takes a function that holds nothing
// but prefetches for one without effect and drops its calls.
inline void prefetch_read(const void* p) {
  __builtin_prefetch(p, 0, 3);
  asm volatile("" : : "r"(p));
}

}  // namespace vb::query
