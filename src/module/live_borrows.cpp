#include "module/live_borrows.h"

#include <pthread.h>

#include <mutex>

namespace vb::module {
namespace {

// Held across fork() by the prepare handler, so the child finds the list whole.
std::mutex list_mutex;
BorrowLink head;

void lock_list() { list_mutex.lock(); }
void unlock_list() { list_mutex.unlock(); }

void free_all_in_child() {
  for (BorrowLink* link = head.next; link != nullptr; link = link->next) {
    link->state->store(0, std::memory_order_relaxed);
  }
  list_mutex.unlock();
}

}  // namespace

void track_borrow(BorrowLink& link, BorrowState& state) noexcept {
  static const int registered = pthread_atfork(&lock_list, &unlock_list, &free_all_in_child);
  (void)registered;
  std::lock_guard<std::mutex> lock(list_mutex);
  link.state = &state;
  link.prev = &head;
  link.next = head.next;
  if (head.next != nullptr) head.next->prev = &link;
  head.next = &link;
}

void untrack_borrow(BorrowLink& link) noexcept {
  if (link.prev == nullptr) return;  // never linked
  std::lock_guard<std::mutex> lock(list_mutex);
  link.prev->next = link.next;
  if (link.next != nullptr) link.next->prev = link.prev;
  link.prev = link.next = nullptr;
}

}  // namespace vb::module
