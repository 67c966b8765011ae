#include "exact_scan/top_k.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

namespace vb::exact_scan {

void TopK::offer(std::uint32_t dist_bits, std::int64_t id) {
  const Entry entry{dist_bits, id};
  const std::size_t cap = heap_.size();
  if (size_ < cap) {
    std::size_t i = size_++;
    heap_[i] = entry;
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!less(heap_[parent], heap_[i])) break;
      std::swap(heap_[parent], heap_[i]);
      i = parent;
    }
    return;
  }
  if (cap == 0 || !less(entry, heap_[0])) return;
  heap_[0] = entry;
  std::size_t i = 0;
  for (;;) {
    std::size_t largest = i;
    const std::size_t left = 2 * i + 1;
    const std::size_t right = left + 1;
    if (left < cap && less(heap_[largest], heap_[left])) largest = left;
    if (right < cap && less(heap_[largest], heap_[right])) largest = right;
    if (largest == i) break;
    std::swap(heap_[i], heap_[largest]);
    i = largest;
  }
}

void TopK::write_row(std::int64_t* ids, float* dists) {
  std::sort(heap_.begin(), heap_.begin() + static_cast<std::ptrdiff_t>(size_), less);
  for (std::size_t j = 0; j < heap_.size(); ++j) {
    if (j < size_) {
      ids[j] = heap_[j].id;
      dists[j] = std::bit_cast<float>(heap_[j].dist_bits);
    } else {
      ids[j] = -1;
      dists[j] = std::numeric_limits<float>::infinity();
    }
  }
}

}  // namespace vb::exact_scan
