#include "pool/cancel.h"

namespace vb::pool {
namespace {

thread_local ScopedWatch* watch_of_thread = nullptr;
thread_local const std::atomic<bool>* flag_of_thread = nullptr;

}  // namespace

ScopedWatch* detail::owner_watch() { return watch_of_thread; }
const std::atomic<bool>*& detail::running_flag() { return flag_of_thread; }

ScopedWatch::ScopedWatch(Poll poll, void* context) noexcept
    : poll_(poll),
      context_(context),
      next_(std::chrono::steady_clock::now() + kPollPeriod),
      previous_watch_(watch_of_thread),
      previous_flag_(flag_of_thread) {
  watch_of_thread = this;
  flag_of_thread = &cancelled_;
}

ScopedWatch::~ScopedWatch() {
  watch_of_thread = previous_watch_;
  flag_of_thread = previous_flag_;
}

bool ScopedWatch::poll_now() {
  if (!closed_ && !cancelled() && poll_(context_)) cancelled_.store(true, std::memory_order_relaxed);
  next_ = std::chrono::steady_clock::now() + kPollPeriod;
  return cancelled();
}

void ScopedWatch::poll_if_due() {
  if (std::chrono::steady_clock::now() >= next_ && poll_now()) throw Cancelled();
}

void cancellation_point() {
  if (const std::atomic<bool>* flag = flag_of_thread; flag != nullptr && flag->load(std::memory_order_relaxed)) {
    throw Cancelled();
  }
  if (watch_of_thread != nullptr) watch_of_thread->poll_if_due();
}

void begin_commit() {
  ScopedWatch* watch = watch_of_thread;
  if (watch == nullptr) return;
  if (watch->poll_now()) throw Cancelled();
  watch->close();
}

}  // namespace vb::pool
