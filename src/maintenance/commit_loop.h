#pragma once

#include <cstddef>

#include "base/buffer.h"
#include "pool/pool.h"

namespace vb::maintenance {

// The last step of an operation that prepared everything else: a loop over
// items that must all run once it has started. It runs fn(i) exactly once for
// each i in [0, n), in parallel on the pool; should the pool itself fail (it
// allocates its tasks), the items it did not reach run on the calling thread.
// The constructor allocates the per-item flags, so run() cannot fail.
//
// Requires: fn(i) does not throw, and calls for different items touch
// disjoint data. Thread safety: one run() at a time per object.
class CommitLoop {
 public:
  explicit CommitLoop(std::size_t n) : done_(n) {
    for (auto& flag : done_) flag = 0;
  }

  template <class Fn>
  void run(Fn&& fn) noexcept {
    const std::size_t n = done_.size();
    auto items = [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        fn(i);
        done_[i] = 1;
      }
    };
    try {
      pool::parallel_for(n, 1, items);
    } catch (...) {
      // The loop has stopped and every task that started has finished, so the
      // flags say exactly which items are left.
      for (std::size_t i = 0; i < n; ++i) {
        if (!done_[i]) {
          fn(i);
          done_[i] = 1;
        }
      }
    }
  }

 private:
  Buffer<unsigned char> done_;
};

}  // namespace vb::maintenance
