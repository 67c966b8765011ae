#include "base/buffer.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vb {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

void* allocate_large(std::size_t bytes) {
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  if (rounded < bytes) throw std::bad_alloc();
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (block == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  // Advice only: without huge pages the block works the same, just slower to fault in.
  madvise(block, rounded, MADV_HUGEPAGE);
#endif
  return block;
}

void free_large(void* block) noexcept { std::free(block); }

}  // namespace vb
