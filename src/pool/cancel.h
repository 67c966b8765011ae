#pragma once

#include <atomic>
#include <chrono>
#include <exception>

// Cancelling a call that runs on the pool. The thread that makes the call owns
// a ScopedWatch; while the call runs, that thread asks the watch's poll function
// about every kPollPeriod whether to stop, both while it waits for a loop that
// the workers run and, when it works itself, at cancellation points. Once the
// poll says stop, every cancellation point of the call throws Cancelled, loops
// start no further pieces, and the exception reaches the calling thread.
namespace vb::pool {

inline constexpr std::chrono::milliseconds kPollPeriod{20};

// Thrown at the cancellation points of a call that was cancelled.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the call was cancelled"; }
};

// Makes the calls that this thread makes while the object lives cancellable.
// poll(context) runs only on this thread; returning true cancels the call.
class ScopedWatch {
 public:
  using Poll = bool (*)(void* context);
  ScopedWatch(Poll poll, void* context) noexcept;
  ~ScopedWatch();
  ScopedWatch(const ScopedWatch&) = delete;
  ScopedWatch& operator=(const ScopedWatch&) = delete;

  // Runs the poll now unless the call is past its commit; returns whether the
  // call is cancelled. Owner thread only.
  bool poll_now();
  // poll_now() when a period has passed since the last poll; throws Cancelled
  // when the call is cancelled. Owner thread only.
  void poll_if_due();
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
  const std::atomic<bool>* flag() const { return &cancelled_; }
  void close() { closed_ = true; }

 private:
  Poll poll_;
  void* context_;
  std::atomic<bool> cancelled_{false};
  bool closed_ = false;
  std::chrono::steady_clock::time_point next_;
  ScopedWatch* previous_watch_;
  const std::atomic<bool>* previous_flag_;
};

// Throws Cancelled when the call this thread is working for was cancelled.
// Costs a thread-local read and, on the calling thread, a clock read: meant
// for once per row, block or table, not per candidate.
void cancellation_point();

// Marks the start of the step that installs a mutation's results: polls once
// more, so that a stop asked for since the last poll still finds nothing
// changed, and throws Cancelled if the call is cancelled; otherwise makes the
// rest of the call uncancellable. So a mutation that throws Cancelled never
// changed anything, and one that got past this point completes and returns:
// a stop asked for during the install is left to its asker (for Python, the
// signal stays pending and is delivered after the call returned). Call it on
// the calling thread.
void begin_commit();

namespace detail {
// The watch owned by this thread, if any.
ScopedWatch* owner_watch();
// The cancellation flag of the call whose piece this thread runs, if any.
const std::atomic<bool>*& running_flag();
}  // namespace detail

}  // namespace vb::pool
