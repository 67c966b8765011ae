#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/metric.h"

// The bounded collector of the k nearest entries and the writing of result rows.
namespace vb::query {

// One kept neighbour. Entries are ordered by dist_bits (a non-negative
// single-precision distance's bit pattern read unsigned, which orders like the
// distance itself), then by id: smaller is nearer.
struct Entry {
  std::uint32_t dist_bits;
  std::int64_t id;
};

inline bool nearer(const Entry& a, const Entry& b) {
  return a.dist_bits < b.dist_bits || (a.dist_bits == b.dist_bits && a.id < b.id);
}

// Bit pattern of a single-precision distance, and back.
inline std::uint32_t to_bits(float distance) { return std::bit_cast<std::uint32_t>(distance); }
inline float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// Collectors of at most this many slots keep them sorted, worst first.
inline constexpr std::size_t kSortedCollector = 32;

// Keeps the best `cap` entries offered. The filled slots 0 .. len - 1 form a
// max-heap under the entry order (slot 0 is the worst kept entry), sorted
// worst first when cap <= kSortedCollector. Reset for the next query by
// setting len to 0. One per worker task; not shared.
struct TopK {
  std::vector<Entry> heap;  // cap slots, allocated once
  std::size_t len = 0;

  explicit TopK(std::size_t cap) : heap(cap, Entry{0, 0}) {}
  std::size_t cap() const { return heap.size(); }
  // Whether an offer of `e` could change the collector: it has room, or e is
  // nearer than the worst kept entry. Never with no slots.
  bool admits(const Entry& e) const {
    return len < heap.size() || (!heap.empty() && nearer(e, heap[0]));
  }
};

// Offers (dist_bits, id) to the slot array `slots` of capacity `cap` holding
// `len` entries (updated). An id already kept is ignored, whatever its
// distance. After any sequence of offers the slots hold the min(cap, distinct
// ids) smallest entries offered, provided each id always comes with the same
// distance. Does nothing when cap = 0. Cost: O(1) for a rejection by the worst
// entry, O(cap) for an accepted offer (duplicate scan) plus O(log cap).
void heap_offer(Entry* slots, std::size_t cap, std::size_t& len, std::uint32_t dist_bits, std::int64_t id);

// Whether one of the n filled slots keeps `id`. A few slots are all read
// without an early exit: where the id lies among them is a coin toss that a
// loop exit would mispredict.
inline bool holds(const Entry* slots, std::size_t n, std::int64_t id) {
  if (n <= kSortedCollector) {
    unsigned found = 0;
    for (std::size_t i = 0; i < n; ++i) found |= static_cast<unsigned>(slots[i].id == id);
    return found != 0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i].id == id) return true;
  }
  return false;
}

// Puts `len` filled slots of a collector of capacity `cap` in its order: a
// heap, sorted worst first when cap <= kSortedCollector.
void order_collector(Entry* slots, std::size_t cap, std::size_t len);

// heap_offer for an id that no slot holds: no duplicate scan, O(log cap)
// (O(cap) moves in a sorted collector).
void heap_offer_new(Entry* slots, std::size_t cap, std::size_t& len, std::uint32_t dist_bits, std::int64_t id);

// Rows of at most this many entries are written by rank (write_row).
inline constexpr std::size_t kPlacedRow = 32;

// Writes one result row of `width` positions: the `len` filled slots' ids and
// distances ascending by the entry order (single precision widened to
// double; for L2 the root of the summed square), then -1 / +inf padding.
// Rows of up to kPlacedRow entries are placed by rank, longer ones sorted in
// place; the slots' order afterwards is unspecified.
// Requires: len <= width.
void write_row(Entry* slots, std::size_t len, std::size_t width, std::int64_t* ids, double* dists,
               Metric metric = Metric::kL1);

}  // namespace vb::query
