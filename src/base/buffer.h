#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vb {

// Large blocks (at least kLargeBlockBytes) are aligned to 2 MiB and, where the
// system supports it, backed by huge pages: first-touch page faults otherwise
// dominate building an index of a million points (one fault per 4 KiB page).
inline constexpr std::size_t kLargeBlockBytes = std::size_t{4} << 20;

// A block of at least `bytes`, 2 MiB aligned: a kept block of the same rounded
// size when there is one (its contents are whatever they were), else a new one,
// the kept blocks released first if the system refuses it otherwise.
void* allocate_large(std::size_t bytes);

// Gives back a block of allocate_large(bytes). It is kept for the next block of
// that size while the kept blocks stay within kept_large_limit() (the oldest
// released first), so that building an index again reuses pages the process
// already has instead of faulting fresh ones, which on some hosts costs more
// than the build's own work. Kept pages are advised free: the system may still
// take them back under memory pressure.
void free_large(void* block, std::size_t bytes) noexcept;

// Bytes of the blocks kept for reuse now, and the most that are ever kept.
std::size_t kept_large_bytes() noexcept;
std::size_t kept_large_limit() noexcept;

// Returns every kept block to the system.
void release_kept_large() noexcept;

// An allocator whose value-less construct() leaves trivial elements
// uninitialised. The index's large arrays are always written in full right
// after they are sized, so zero-filling them first would only cost a pass over
// memory.
template <class T, class Base = std::allocator<T>>
class DefaultInitAllocator : public Base {
 public:
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
  };

  using Base::Base;

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    if (n * sizeof(T) >= kLargeBlockBytes) return static_cast<T*>(allocate_large(n * sizeof(T)));
    return Base::allocate(n);
  }
  void deallocate(T* ptr, std::size_t n) noexcept {
    if (n * sizeof(T) >= kLargeBlockBytes) {
      free_large(ptr, n * sizeof(T));
    } else {
      Base::deallocate(ptr, n);
    }
  }

  template <class U>
  void construct(U* ptr) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(ptr)) U;
  }
  template <class U, class... Args>
  void construct(U* ptr, Args&&... args) {
    std::allocator_traits<Base>::construct(static_cast<Base&>(*this), ptr, std::forward<Args>(args)...);
  }
};

// Owned contiguous array of the index and of results; resize() does not clear.
template <class T>
using Buffer = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace vb
