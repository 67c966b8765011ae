#pragma once

#include <atomic>
#include <cstdint>

#include "base/errors.h"

namespace vb::module {

// Borrow state of one index object: 0 free, n > 0 held by n readers, -1 held
// by one writer. A borrow that cannot be granted is never waited for: the call
// fails at once with BorrowError.
using BorrowState = std::atomic<std::int64_t>;

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowState& state) : state_(state) {
    std::int64_t current = state_.load(std::memory_order_acquire);
    do {
      if (current < 0) throw BorrowError("Already mutably borrowed");
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel));
  }
  ~SharedBorrow() { state_.fetch_sub(1, std::memory_order_acq_rel); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowState& state_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowState& state) : state_(state) {
    std::int64_t expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
      throw BorrowError("Already borrowed");
    }
  }
  ~ExclusiveBorrow() { state_.store(0, std::memory_order_release); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowState& state_;
};

}  // namespace vb::module
