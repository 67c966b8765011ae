#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Bounded collector of the k nearest points of one query, ordered by
// (distance bit pattern as unsigned, id): the smaller pattern is nearer, and
// among equal distances the smaller id. A max-heap whose root is the worst
// entry kept.
namespace vb::exact_scan {

class TopK {
 public:
  explicit TopK(std::size_t k) : heap_(k) {}

  // Empties the collector for the next query.
  void clear() { size_ = 0; }

  // The bit pattern a distance must not exceed to have a chance of being kept:
  // the worst kept distance when full, otherwise 0xffffffff (everything); 0
  // when k = 0.
  std::uint32_t bound() const {
    if (heap_.empty()) return 0;
    return size_ < heap_.size() ? 0xffffffffu : heap_[0].dist_bits;
  }

  // Keeps (dist_bits, id) if it is among the k smallest entries offered.
  // Requires: each id is offered at most once between two clear() calls.
  void offer(std::uint32_t dist_bits, std::int64_t id);

  // Writes the kept entries ascending into ids[0..k) and dists[0..k) and pads
  // the rest with id -1 and distance +inf. The collector must be cleared
  // before its next offer.
  void write_row(std::int64_t* ids, float* dists);

 private:
  struct Entry {
    std::uint32_t dist_bits;
    std::int64_t id;
  };
  static bool less(const Entry& a, const Entry& b) {
    return a.dist_bits < b.dist_bits || (a.dist_bits == b.dist_bits && a.id < b.id);
  }

  std::vector<Entry> heap_;
  std::size_t size_ = 0;
};

}  // namespace vb::exact_scan
