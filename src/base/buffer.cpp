#include "base/buffer.h"

#include <pthread.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vb {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Enough for the blocks of an index of a few million points and of the
// exhaustive index a fit builds beside it: what a refit or rebuild of that
// size would otherwise fault in afresh.
constexpr std::size_t kKeptLimit = std::size_t{3} << 30;

std::size_t rounded_size(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

struct KeptBlocks {
  std::mutex mutex;
  std::vector<std::pair<void*, std::size_t>> blocks;  // oldest first
  std::size_t bytes = 0;
};

// Never destroyed: blocks may be freed by other static objects' destructors at exit.
KeptBlocks& kept() {
  static KeptBlocks* const blocks = [] {
    auto* made = new KeptBlocks;
    // A fork while another thread holds the lock would leave it held in the child.
    pthread_atfork([] { kept().mutex.lock(); }, [] { kept().mutex.unlock(); }, [] { kept().mutex.unlock(); });
    return made;
  }();
  return *blocks;
}

void* new_block(std::size_t rounded) {
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (block == nullptr) {
    // Kept blocks of other sizes must not make an allocation fail that would
    // succeed without them (an address-space limit, say).
    release_kept_large();
    block = std::aligned_alloc(kHugePage, rounded);
  }
  if (block == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  // Advice only: without huge pages the block works the same, just slower to fault in.
  madvise(block, rounded, MADV_HUGEPAGE);
#endif
  return block;
}
}  // namespace

void* allocate_large(std::size_t bytes) {
  const std::size_t rounded = rounded_size(bytes);
  if (rounded < bytes) throw std::bad_alloc();
  {
    KeptBlocks& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    for (auto it = k.blocks.end(); it != k.blocks.begin();) {
      if ((--it)->second != rounded) continue;
      void* block = it->first;
      k.bytes -= rounded;
      k.blocks.erase(it);
      return block;
    }
  }
  return new_block(rounded);
}

void free_large(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  const std::size_t rounded = rounded_size(bytes);
  if (rounded > kKeptLimit) {
    std::free(block);
    return;
  }
#if defined(MADV_FREE)
  // The pages stay mapped for reuse unless the system needs them first. Advised
  // before the block is shared: advice given after another thread took it
  // would let the system drop what that thread wrote.
  madvise(block, rounded, MADV_FREE);
#endif
  std::vector<void*> released;
  {
    KeptBlocks& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    std::size_t oldest = 0;
    while (k.bytes + rounded > kKeptLimit) {
      released.push_back(k.blocks[oldest].first);
      k.bytes -= k.blocks[oldest++].second;
    }
    k.blocks.erase(k.blocks.begin(), k.blocks.begin() + static_cast<std::ptrdiff_t>(oldest));
    try {
      k.blocks.emplace_back(block, rounded);
      k.bytes += rounded;
      block = nullptr;
    } catch (const std::bad_alloc&) {
      // Not kept, then: freed below like the released ones.
    }
  }
  for (void* old : released) std::free(old);
  std::free(block);
}

std::size_t kept_large_bytes() noexcept {
  KeptBlocks& k = kept();
  std::lock_guard<std::mutex> lock(k.mutex);
  return k.bytes;
}

std::size_t kept_large_limit() noexcept { return kKeptLimit; }

void release_kept_large() noexcept {
  std::vector<std::pair<void*, std::size_t>> released;
  {
    KeptBlocks& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    released.swap(k.blocks);
    k.bytes = 0;
  }
  for (auto& [block, bytes] : released) std::free(block);
}

}  // namespace vb
