#pragma once

#include <cstddef>

// How many threads one call may use, and how many the environment may ask for.
namespace vb::pool {

// The most worker threads the environment may ask for, per hardware thread.
// More only take turns on the same cores (and take their stacks' memory).
constexpr std::size_t kMaxThreadsPerHardwareThread = 4;

// The pool size for `asked` threads on a machine of `hardware` threads: at most
// kMaxThreadsPerHardwareThread * hardware, at least 1.
std::size_t capped_threads(std::size_t asked, std::size_t hardware);

// While an object of this type lives on a thread, parallel_for calls made from
// that thread run on at most `threads` threads: 1 runs them as serial_for, 0 or
// at least num_threads() on the whole pool, and a count between on a task arena
// of that many threads, made on first use and kept. Answers do not depend on it:
// the loops write disjoint slices whatever the split. Nests; construct and
// destroy it on the same thread.
class ScopedCallThreads {
 public:
  explicit ScopedCallThreads(std::size_t threads);
  ~ScopedCallThreads();
  ScopedCallThreads(const ScopedCallThreads&) = delete;
  ScopedCallThreads& operator=(const ScopedCallThreads&) = delete;

 private:
  std::size_t previous_;
};

}  // namespace vb::pool
