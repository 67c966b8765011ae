#include "query/topk.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace vb::query {

namespace {

void sift_up(Entry* slots, std::size_t i) {
  while (i > 0) {
    const std::size_t parent = (i - 1) / 2;
    if (!nearer(slots[parent], slots[i])) return;
    std::swap(slots[parent], slots[i]);
    i = parent;
  }
}

void sift_down(Entry* slots, std::size_t len) {
  std::size_t i = 0;
  for (;;) {
    const std::size_t left = 2 * i + 1;
    const std::size_t right = left + 1;
    std::size_t largest = i;
    if (left < len && nearer(slots[largest], slots[left])) largest = left;
    if (right < len && nearer(slots[largest], slots[right])) largest = right;
    if (largest == i) return;
    std::swap(slots[i], slots[largest]);
    i = largest;
  }
}

}  // namespace

void order_collector(Entry* slots, std::size_t cap, std::size_t len) {
  if (cap <= kSortedCollector) {
    std::sort(slots, slots + len, [](const Entry& a, const Entry& b) { return nearer(b, a); });
  } else {
    std::make_heap(slots, slots + len, nearer);
  }
}

void heap_offer_new(Entry* slots, std::size_t cap, std::size_t& len, std::uint32_t dist_bits, std::int64_t id) {
  if (cap == 0) return;
  const Entry entry{dist_bits, id};
  if (cap <= kSortedCollector) {
    // Worst first, every slot nearer than the one before: a heap too. The
    // entry goes in one pass of moves with a single exit to mispredict,
    // where the heap's sift mispredicts at most of its levels.
    if (len < cap) {
      std::size_t i = len;
      for (; i > 0 && nearer(slots[i - 1], entry); --i) slots[i] = slots[i - 1];
      slots[i] = entry;
      ++len;
    } else if (nearer(entry, slots[0])) {
      std::size_t i = 1;
      for (; i < cap && nearer(entry, slots[i]); ++i) slots[i - 1] = slots[i];
      slots[i - 1] = entry;
    }
    return;
  }
  if (len < cap) {
    slots[len] = entry;
    sift_up(slots, len);
    ++len;
  } else if (nearer(entry, slots[0])) {
    slots[0] = entry;
    sift_down(slots, cap);
  }
}

void heap_offer(Entry* slots, std::size_t cap, std::size_t& len, std::uint32_t dist_bits, std::int64_t id) {
  if (cap == 0) return;
  if (len == cap && !nearer(Entry{dist_bits, id}, slots[0])) return;
  if (holds(slots, len, id)) return;
  heap_offer_new(slots, cap, len, dist_bits, id);
}

void write_row(Entry* slots, std::size_t len, std::size_t width, std::int64_t* ids, double* dists, Metric metric) {
  auto put = [&](std::size_t place, const Entry& entry) {
    ids[place] = entry.id;
    dists[place] = static_cast<double>(reported_distance(from_bits(entry.dist_bits), metric));
  };
  if (len <= kPlacedRow) {
    // Entry i's place is the count of entries before it in the entry order,
    // equal entries (never two of one collector) in slot order, so every place
    // is taken once. The counts are branch-free; a comparison sort of a few
    // entries mispredicts about half its comparisons and moves each entry
    // with a library call.
    for (std::size_t i = 0; i < len; ++i) {
      std::size_t place = 0;
      for (std::size_t j = 0; j < i; ++j) place += static_cast<std::size_t>(!nearer(slots[i], slots[j]));
      for (std::size_t j = i + 1; j < len; ++j) place += static_cast<std::size_t>(nearer(slots[j], slots[i]));
      put(place, slots[i]);
    }
  } else {
    std::sort(slots, slots + len, nearer);
    for (std::size_t j = 0; j < len; ++j) put(j, slots[j]);
  }
  std::fill(ids + len, ids + width, std::int64_t{-1});
  std::fill(dists + len, dists + width, std::numeric_limits<double>::infinity());
}

}  // namespace vb::query
