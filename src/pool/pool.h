#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "pool/cancel.h"

// The process-wide worker pool. One task arena, built on first use and kept for
// the life of the process, sized once from the environment:
//   RAYON_NUM_THREADS  a positive integer: that many threads; 0: one per hardware thread;
//   otherwise RAYON_RS_NUM_CPUS, a positive integer: that many threads;
//   otherwise one per hardware thread.
// A pool of n > 1 threads runs n workers: a call whose thread owns a
// ScopedWatch (cancel.h) waits for them rather than working beside them. When
// the process cannot start that many threads, the pool runs with fewer (see
// take_start_note) rather than failing later inside the threading library.
// The environment may ask for at most kMaxThreadsPerHardwareThread (call_threads.h)
// threads per hardware thread; beyond that the pool runs with that many and says
// so once (take_start_note). Nothing outside this directory includes the
// threading library.
//
// fork(): once the pool exists, a fork waits until no parallel_for is running,
// shuts the workers down, and both parent and child start fresh workers on their
// next loop, so a child (multiprocessing's fork start method) gets a full pool.
// The workers cannot be shut down while another thread of the parent has used
// the pool; the child of such a fork runs all its loops on its own thread.
namespace vb::pool {

// Number of worker threads of the pool (at least 1). Creates the pool on first call.
std::size_t num_threads();

// When the pool could not start the threads asked for and runs with fewer, a
// sentence saying so, returned by the first call only; otherwise empty.
// Creates the pool on first call.
std::string take_start_note();

// Calls body(begin, end) on disjoint subranges that together cover [0, n), in
// parallel on the pool, and returns when all have run. The range is split in
// halves, recursively and on demand when threads run idle, while a piece holds
// more than `grain` items. An exception thrown by a body cancels the loop and is
// rethrown on the calling thread.
// Requires: body writes only data that no other subrange touches.
void parallel_for(std::size_t n, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body);

// The serial twin of parallel_for: pieces of `grain` items in ascending order,
// on the calling thread. Tests compare the two.
void serial_for(std::size_t n, std::size_t grain,
                const std::function<void(std::size_t, std::size_t)>& body);

// The step that installs a mutation's results, for the object's lifetime:
// the call can no longer be cancelled (begin_commit in cancel.h, which throws
// Cancelled if it already was), and fork() waits until the step ends, so a
// child process never holds a half-installed index. Loops inside it run as
// usual. Construct it on the calling thread.
class CommitScope {
 public:
  CommitScope();
  ~CommitScope();
  CommitScope(const CommitScope&) = delete;
  CommitScope& operator=(const CommitScope&) = delete;

 private:
  bool outer_;
};

// While an object of this type lives on a thread, parallel_for calls made from
// that thread run as serial_for. For tests that compare 1 thread with the pool.
class ScopedSerial {
 public:
  ScopedSerial();
  ~ScopedSerial();
  ScopedSerial(const ScopedSerial&) = delete;
  ScopedSerial& operator=(const ScopedSerial&) = delete;

 private:
  bool previous_;
};

// Pool size that the environment asks for, as described above; `hardware` is the
// number of hardware threads. Exposed for tests.
std::size_t threads_from_environment(const char* rayon_num_threads,
                                     const char* rayon_rs_num_cpus,
                                     std::size_t hardware);

}  // namespace vb::pool
