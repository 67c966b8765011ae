#include "pool/thread_probe.h"

#include <pthread.h>
#include <sys/mman.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace vb::pool {
namespace {

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t ready = 0;
  bool open = false;
};

void* hold(void* arg) {
  // A thread's first allocation may map the allocator's per-thread memory
  // (tens of megabytes of address space), before the next thread starts.
  void* volatile block = std::malloc(64);  // volatile: the pair is not optimised away
  std::free(block);
  auto* gate = static_cast<Gate*>(arg);
  std::unique_lock<std::mutex> lock(gate->mutex);
  ++gate->ready;
  gate->changed.notify_all();
  gate->changed.wait(lock, [&] { return gate->open; });
  return nullptr;
}

}  // namespace

std::size_t startable_threads(std::size_t wanted, std::size_t stack_size, std::size_t room) noexcept {
  // Address space held while the threads start, as the memory that the calls
  // will want beside them.
  void* held = room > 0 ? mmap(nullptr, room, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0) : nullptr;
  if (held == MAP_FAILED) return 0;
  struct Unmap {
    void* at;
    std::size_t size;
    ~Unmap() {
      if (at != nullptr) munmap(at, size);
    }
  } unmap{held, room};
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  if (stack_size > 0) (void)pthread_attr_setstacksize(&attr, stack_size);
  Gate gate;
  std::size_t started = 0;
  try {
    std::vector<pthread_t> threads;
    threads.reserve(wanted);
    for (; started < wanted; ++started) {
      pthread_t thread;
      if (pthread_create(&thread, &attr, &hold, &gate) != 0) break;
      threads.push_back(thread);
      // One at a time, as the pool's library starts its workers.
      std::unique_lock<std::mutex> lock(gate.mutex);
      gate.changed.wait(lock, [&] { return gate.ready == threads.size(); });
    }
    {
      std::lock_guard<std::mutex> lock(gate.mutex);
      gate.open = true;
    }
    gate.changed.notify_all();
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
  } catch (...) {
    started = 0;  // reserve failed before any thread started
  }
  pthread_attr_destroy(&attr);
  return started;
}

}  // namespace vb::pool
