#include "pool/pool.h"

#include "pool/call_threads.h"
#include "pool/cancel.h"
#include "pool/thread_probe.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vb::pool {
namespace {

thread_local bool force_serial = false;
thread_local std::size_t call_threads = 0;  // 0: the whole pool

// Loops that run on the arena are counted at this gate; fork() closes it from the
// prepare handler until the handlers after the fork, once no loop is inside the
// arena, so that the arena's workers can be shut down. Only a plain mutex is held
// across the fork: the child unlocks it from a thread whose id differs from the
// parent's, which a reader-writer lock would take for a reader, and waiters that
// a condition variable recorded in the parent would not exist in the child.
// Loops started from inside a body (depth > 0) are covered by the outer entry.
struct ForkGate {
  std::mutex mutex;
  std::atomic<std::size_t> loops{0};

  void enter() {
    std::lock_guard<std::mutex> lock(mutex);
    loops.fetch_add(1, std::memory_order_acq_rel);
  }
  void leave() { loops.fetch_sub(1, std::memory_order_acq_rel); }
  // Returns with the mutex held (no loop can start) and no loop running.
  void close() {
    mutex.lock();
    while (loops.load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // Called once in the parent and once in the child.
  void open() { mutex.unlock(); }
};

ForkGate fork_gate;
thread_local int loop_depth = 0;

// Parses a whole decimal string as an unsigned count; anything else is absent.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t value = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Threads to run with when `wanted` are asked for: as many of them as the
// process can start while kCallRoom bytes of address space stay free for the
// calls, at least 1. A worker that the threading library fails to start ends
// the process, so they are counted before it starts any.
constexpr std::size_t kCallRoom = std::size_t{256} << 20;

std::size_t usable_threads(std::size_t wanted) {
  if (wanted <= 1) return 1;
  const std::size_t stack = tbb::global_control::active_value(tbb::global_control::thread_stack_size);
  return std::clamp<std::size_t>(startable_threads(wanted, stack, kCallRoom), 1, wanted);
}

// Has the arena start all of its `n` workers now, while the room for them was
// just counted, rather than one by one as loops ask for them. Gives up waiting
// for the last ones after a second.
void start_workers(tbb::task_arena& arena, std::size_t n) {
  std::atomic<std::size_t> arrived{0};
  std::atomic<std::size_t> finished{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (std::size_t i = 0; i < n; ++i) {
    arena.enqueue([&] {
      arrived.fetch_add(1);
      while (arrived.load() < n && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      finished.fetch_add(1);
    });
  }
  while (finished.load() < n) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

struct Pool {
  std::size_t asked;   // by the environment
  std::size_t wanted;  // after the cap
  std::size_t threads;
  // The global limit (which counts one calling thread) must allow `threads`
  // workers: a watched call leaves all of the arena's slots to workers while
  // its own thread waits. Held by pointer so that a child which must not call
  // the library can drop it without the destructor's call into it.
  std::unique_ptr<tbb::global_control> limit;
  tbb::task_arena arena;

  std::string note;  // how the start went, when it is worth a warning
  std::atomic<bool> note_taken{false};

  // Arenas of fewer threads for calls that ask for fewer (ScopedCallThreads),
  // indexed by their size; made on first use.
  std::mutex smaller_mutex;
  std::vector<std::unique_ptr<tbb::task_arena>> smaller;

  Pool(std::size_t asked_threads, std::size_t hardware)
      : asked(asked_threads),
        wanted(capped_threads(asked_threads, hardware)),
        threads(usable_threads(wanted)),
        limit(std::make_unique<tbb::global_control>(
            tbb::global_control::max_allowed_parallelism,
            std::max<std::size_t>(threads + 1, static_cast<std::size_t>(tbb::info::default_concurrency())))),
        arena(static_cast<int>(threads), 0) {
    if (threads > 1) start_workers(arena, threads);
    if (wanted < asked) {
      note = "the environment asks for " + std::to_string(asked) + " worker threads, more than " +
             std::to_string(kMaxThreadsPerHardwareThread) + " per hardware thread (" + std::to_string(hardware) +
             "); the pool runs with " + std::to_string(threads);
    } else if (threads < wanted) {
      note = "the worker pool could not start the " + std::to_string(wanted) +
             " threads asked for (thread creation failed); it runs with " + std::to_string(threads);
    }
    smaller.resize(threads);
  }

  // The arena for a call that may use `count` threads (0: all of them).
  tbb::task_arena& arena_for(std::size_t count) {
    if (count == 0 || count >= threads) return arena;
    std::lock_guard<std::mutex> lock(smaller_mutex);
    if (!smaller[count]) smaller[count] = std::make_unique<tbb::task_arena>(static_cast<int>(count), 0);
    return *smaller[count];
  }

  void terminate_arenas() {
    arena.terminate();
    std::lock_guard<std::mutex> lock(smaller_mutex);
    for (auto& a : smaller) {
      if (a) a->terminate();
    }
  }
};

using Body = std::function<void(std::size_t, std::size_t)>;

// Runs body(begin, end) as a piece of the call whose cancellation flag is
// `flag` (null: not cancellable), on whichever thread takes the piece.
void run_piece(const std::atomic<bool>* flag, const Body& body, std::size_t begin, std::size_t end) {
  const std::atomic<bool>*& current = detail::running_flag();
  struct Restore {
    const std::atomic<bool>*& current;
    const std::atomic<bool>* previous;
    ~Restore() { current = previous; }
  } restore{current, current};
  current = flag;
  cancellation_point();
  body(begin, end);
}

// The calling thread of a watched call hands the loop to the workers and polls
// its watch while it waits, so that the call stops soon after the poll says so
// however long the loop's pieces are. The loop must have finished before this
// returns (its pieces use the caller's stack); its exception, or Cancelled,
// is then rethrown. `finished()` runs on the worker once the loop's work is
// over, before the caller learns of it.
template <class Loop, class Finished>
void run_watched(tbb::task_arena& arena, ScopedWatch& watch, Loop&& loop, Finished&& finished) {
  struct Outcome {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::exception_ptr error;
  } outcome;
  arena.enqueue([&outcome, &loop, &finished] {
    std::exception_ptr error;
    try {
      loop();
    } catch (...) {
      error = std::current_exception();
    }
    finished();
    std::lock_guard<std::mutex> lock(outcome.mutex);
    outcome.error = error;
    outcome.done = true;
    outcome.ended.notify_one();  // under the lock: the waiter may free `outcome` once it is released
  });
  std::unique_lock<std::mutex> lock(outcome.mutex);
  while (!outcome.ended.wait_for(lock, kPollPeriod, [&] { return outcome.done; })) {
    lock.unlock();
    watch.poll_now();
    lock.lock();
  }
  if (outcome.error) std::rethrow_exception(outcome.error);
  if (watch.cancelled()) throw Cancelled();
}

Pool& the_pool();

bool workers_joined = true;  // by the last fork's prepare handler
// Set in a child whose parent could not join its workers; such a child runs
// every loop on its own thread and never calls the library again.
std::atomic<bool> library_off_limits{false};

// A child made by fork() gets only the thread that called fork(): worker threads
// of the parent do not exist there, and the library, which still counts them,
// would run every loop of the child on the calling thread alone. So before the
// fork the arena is released and the workers are joined (in the parent, under
// the gate), and both processes start fresh workers on their next loop.
//
// The join fails while another thread of the parent has used the library (it
// keeps a reference until it ends). The parent's workers then live on, and the
// gate does not stop them: after a loop they still leave arenas, free the ones
// released here and go to sleep, taking the library's own locks. A fork in that
// moment hands the child a lock whose holder does not exist there, and the
// child's next call into the library waits for it forever. So a child of a
// failed join never calls the library: not for loops, not for a later fork, and
// not from the pool's destructor at exit.
void before_fork() {
  fork_gate.close();
  Pool& pool = the_pool();
  workers_joined = !library_off_limits.load(std::memory_order_relaxed);
  if (pool.threads == 1 || !workers_joined) return;
  pool.terminate_arenas();
  tbb::task_scheduler_handle handle{tbb::attach{}};
  workers_joined = tbb::finalize(handle, std::nothrow);
}

void after_fork() { fork_gate.open(); }

// Reachable, so that a leak checker does not take it for lost. Volatile: a
// variable of this file that nothing reads would otherwise lose the store to
// the optimiser, and the limit its last reference.
tbb::global_control* volatile limit_never_destroyed = nullptr;

void after_fork_in_child() {
  if (!workers_joined) {
    library_off_limits.store(true, std::memory_order_relaxed);
    // Its destructor would call the library at exit.
    limit_never_destroyed = the_pool().limit.release();
  }
  fork_gate.open();
}

Pool& the_pool() {
  // Registered before the pool is made: a fork while another thread makes it
  // waits in before_fork for the pool to be whole.
  static const int handlers_registered = pthread_atfork(&before_fork, &after_fork, &after_fork_in_child);
  (void)handlers_registered;
  static const std::size_t hardware = static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency()));
  static Pool pool(threads_from_environment(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                            hardware),
                   hardware);
  return pool;
}

}  // namespace

std::size_t threads_from_environment(const char* rayon_num_threads,
                                     const char* rayon_rs_num_cpus,
                                     std::size_t hardware) {
  hardware = std::max<std::size_t>(hardware, 1);
  if (auto n = parse_count(rayon_num_threads)) return *n == 0 ? hardware : *n;
  if (auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return *n;
  return hardware;
}

std::size_t capped_threads(std::size_t asked, std::size_t hardware) {
  return std::clamp<std::size_t>(asked, 1, kMaxThreadsPerHardwareThread * std::max<std::size_t>(hardware, 1));
}

std::size_t num_threads() { return the_pool().threads; }

std::string take_start_note() {
  Pool& pool = the_pool();
  if (pool.note.empty() || pool.note_taken.exchange(true)) return {};
  return pool.note;
}

void serial_for(std::size_t n, std::size_t grain,
                const std::function<void(std::size_t, std::size_t)>& body) {
  grain = std::max<std::size_t>(grain, 1);
  for (std::size_t begin = 0; begin < n; begin += std::min(grain, n - begin)) {
    cancellation_point();
    body(begin, begin + std::min(grain, n - begin));
  }
}

void parallel_for(std::size_t n, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  grain = std::max<std::size_t>(grain, 1);
  if (force_serial || n <= grain || call_threads == 1 || library_off_limits.load(std::memory_order_relaxed)) {
    serial_for(n, grain, body);
    return;
  }
  Pool& pool = the_pool();
  if (pool.threads == 1) {
    serial_for(n, grain, body);
    return;
  }
  struct Depth {
    ~Depth() { --loop_depth; }
  };
  struct Entry {
    bool outer = loop_depth == 0;
    bool left = false;
    Entry() {
      if (outer) fork_gate.enter();
      ++loop_depth;
    }
    void leave() {
      if (outer && !left) fork_gate.leave();
      left = true;
    }
    ~Entry() {
      --loop_depth;
      leave();
    }
  } entry;
  // Chosen inside the gate, so that no fork finds smaller_mutex held here.
  tbb::task_arena& arena = pool.arena_for(call_threads);
  // The hand-off of the loop's data to the workers and back is also published
  // through this counter (release before, acquire at each piece's start; release
  // at each piece's end, acquire after the loop). The library orders it already,
  // inside a binary that race detectors do not see; this makes the order visible
  // to them at the cost of two atomic operations per piece.
  std::atomic<std::size_t> handoff{0};
  handoff.store(0, std::memory_order_release);
  const std::atomic<bool>* flag = detail::running_flag();
  const std::size_t threads_of_call = call_threads;
  auto loop = [&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain), [&](const tbb::blocked_range<std::size_t>& r) {
      (void)handoff.load(std::memory_order_acquire);
      // A worker thread running a piece of this loop is covered by its entry too,
      // and a loop inside the piece keeps to the call's thread count.
      ++loop_depth;
      Depth inner;
      ScopedCallThreads same_count(threads_of_call);
      run_piece(flag, body, r.begin(), r.end());
      handoff.fetch_add(1, std::memory_order_release);
    });
  };
  ScopedWatch* watch = detail::owner_watch();
  if (watch != nullptr && entry.outer) {
    // The loop leaves the fork gate as soon as its work is over: the waiting
    // thread may need the interpreter lock for a poll, which a thread calling
    // fork() holds while it waits at the gate.
    run_watched(arena, *watch, loop, [&entry] { entry.leave(); });
  } else {
    arena.execute(loop);
  }
  (void)handoff.load(std::memory_order_acquire);
}

CommitScope::CommitScope() : outer_(loop_depth == 0) {
  begin_commit();
  if (outer_) fork_gate.enter();
  ++loop_depth;
}

CommitScope::~CommitScope() {
  --loop_depth;
  if (outer_) fork_gate.leave();
}

ScopedSerial::ScopedSerial() : previous_(force_serial) { force_serial = true; }
ScopedCallThreads::ScopedCallThreads(std::size_t threads) : previous_(call_threads) { call_threads = threads; }
ScopedCallThreads::~ScopedCallThreads() { call_threads = previous_; }
ScopedSerial::~ScopedSerial() { force_serial = previous_; }

}  // namespace vb::pool
