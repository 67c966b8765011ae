#include "pool/pool.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <stdexcept>
#include <vector>

#include "pool/call_threads.h"

namespace vb::pool {
namespace {

TEST(Pool, SizeFromTheEnvironment) {
  EXPECT_EQ(threads_from_environment("3", nullptr, 8), 3u);
  EXPECT_EQ(threads_from_environment("0", "5", 8), 8u);  // 0 means one per hardware thread
  EXPECT_EQ(threads_from_environment("x", "5", 8), 5u);  // not a number: the second variable decides
  EXPECT_EQ(threads_from_environment("", "0", 8), 8u);
  EXPECT_EQ(threads_from_environment("-2", nullptr, 8), 8u);
  EXPECT_EQ(threads_from_environment(nullptr, nullptr, 0), 1u);
  EXPECT_GE(num_threads(), 1u);
  // The environment's count, capped at a multiple of the hardware threads.
  EXPECT_EQ(capped_threads(4000, 2), 2 * kMaxThreadsPerHardwareThread);
  EXPECT_EQ(capped_threads(8, 2), 8u);
  EXPECT_EQ(capped_threads(9, 2), 8u);
  EXPECT_EQ(capped_threads(0, 2), 1u);
  EXPECT_EQ(capped_threads(3, 0), 3u);
}

// The distinct threads that ran the pieces of one loop of many small pieces.
std::size_t threads_seen() {
  std::mutex mutex;
  std::set<std::thread::id> seen;
  parallel_for(2000, 1, [&](std::size_t, std::size_t) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    std::lock_guard<std::mutex> lock(mutex);
    seen.insert(std::this_thread::get_id());
  });
  return seen.size();
}

TEST(Pool, ACallKeepsToItsThreadCount) {
  const std::size_t all = num_threads();
  {
    ScopedCallThreads one(1);
    EXPECT_EQ(threads_seen(), 1u);
  }
  if (all > 2) {
    ScopedCallThreads two(2);
    EXPECT_LE(threads_seen(), 2u);
  }
  {
    ScopedCallThreads every(0);
    EXPECT_LE(threads_seen(), all);
  }
  // Every item still runs once, whatever the count.
  for (std::size_t count : {std::size_t{1}, std::size_t{2}, all + 3}) {
    ScopedCallThreads scope(count);
    std::vector<std::atomic<int>> hits(3000);
    parallel_for(hits.size(), 5, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) hits[i]++;
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1);
  }
}

TEST(Pool, EveryItemRunsOnceInBothTwins) {
  for (std::size_t grain : {1u, 7u, 1000u}) {
    std::vector<std::atomic<int>> hits(5000);
    parallel_for(hits.size(), grain, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) hits[i]++;
    });
    serial_for(hits.size(), grain, [&](std::size_t b, std::size_t e) {
      EXPECT_LE(e - b, grain);
      for (std::size_t i = b; i < e; ++i) hits[i]++;
    });
    for (auto& h : hits) ASSERT_EQ(h.load(), 2);
  }
}

TEST(Pool, ExceptionReachesTheCaller) {
  EXPECT_THROW(parallel_for(100, 1,
                            [](std::size_t b, std::size_t) {
                              if (b == 42) throw std::runtime_error("boom");
                            }),
               std::runtime_error);
}

// A watch whose poll cancels from its `cancel_at`-th call on, counting calls.
struct CountingPoll {
  int calls = 0;
  int cancel_at;
  static bool poll(void* self) {
    auto* p = static_cast<CountingPoll*>(self);
    return ++p->calls >= p->cancel_at;
  }
};

// Items of about a millisecond each: enough poll periods pass during the loop.
void slow_loop(std::atomic<int>& done) {
  parallel_for(600, 1, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      cancellation_point();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      done++;
    }
  });
}

TEST(Pool, AWatchedCallStopsSoonAfterItsPollSaysSoOnThePoolAndSerially) {
  for (bool serial : {false, true}) {
    std::optional<ScopedSerial> one_thread;
    if (serial) one_thread.emplace();
    CountingPoll counting{0, 2};
    std::atomic<int> done{0};
    {
      ScopedWatch watch(&CountingPoll::poll, &counting);
      EXPECT_THROW(slow_loop(done), Cancelled);
    }
    EXPECT_EQ(counting.calls, 2);
    EXPECT_LT(done.load(), 300);
    slow_loop(done);  // no watch any more: runs to the end
  }
}

TEST(Pool, ACommitPollsOnceAtItsStartAndIsNeverCancelledAfter) {
  // A stop asked for just before the commit: the commit refuses to begin.
  {
    CountingPoll counting{0, 1};
    ScopedWatch watch(&CountingPoll::poll, &counting);
    bool began = false;
    EXPECT_THROW(
        {
          CommitScope committing;
          began = true;
        },
        Cancelled);
    EXPECT_FALSE(began);
    EXPECT_EQ(counting.calls, 1);
  }
  // A stop asked for once the commit began: its loops run to the end and
  // nothing polls any more.
  CountingPoll counting{0, 2};
  ScopedWatch watch(&CountingPoll::poll, &counting);
  std::atomic<int> done{0};
  {
    CommitScope committing;
    slow_loop(done);
  }
  EXPECT_EQ(done.load(), 600);
  EXPECT_EQ(counting.calls, 1);
  EXPECT_FALSE(watch.cancelled());
}

// Runs a loop that adds every item once; true when all were added.
bool every_item_added() {
  std::atomic<std::size_t> sum{0};
  parallel_for(3000, 4, [&](std::size_t b, std::size_t e) { sum += e - b; });
  return sum.load() == 3000;
}

// The exit status of child `pid`, or -1 after killing it when it has not ended
// within ten seconds.
int status_within_deadline(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Another thread keeps starting loops, plain and watched, while this one forks:
// each child runs a loop to the end, forks a grandchild that does the same, and
// exits; none may hang.
TEST(Pool, ChildrenForkedWhileAnotherThreadRunsLoopsRunTheirOwn) {
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread busy([&] {
    CountingPoll never{0, INT_MAX};
    while (!stop.load()) {
      every_item_added();
      ScopedWatch watch(&CountingPoll::poll, &never);
      every_item_added();
      ++rounds;
    }
  });
  // From now on the busy thread has used the pool, so no fork can join the
  // workers, and no child starts threads.
  while (rounds.load() == 0) std::this_thread::yield();
  std::vector<int> statuses;
#ifdef __SANITIZE_THREAD__
  const int forks = 20;  // each fork copies the race detector's large maps
#else
  const int forks = 300;
#endif
  std::fflush(nullptr);  // children exit through std::exit, which flushes
  for (int i = 0; i < forks && (statuses.empty() || statuses.back() == 0); ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (!every_item_added()) _exit(1);
      const pid_t grandchild = fork();
      if (grandchild == 0) _exit(every_item_added() ? 0 : 1);
      std::exit(grandchild > 0 && status_within_deadline(grandchild) == 0 ? 0 : 2);  // at exit, the pool is destroyed
    }
    statuses.push_back(pid > 0 ? status_within_deadline(pid) : 3);
  }
  stop = true;
  busy.join();
  EXPECT_EQ(statuses.back(), 0) << "fork " << statuses.size() << " (-1: the child hung)";
  EXPECT_TRUE(every_item_added());  // the parent's pool still works
}

}  // namespace
}  // namespace vb::pool
