#pragma once

#include "module/borrow.h"

namespace vb::module {

// The borrow words of all live index objects, linked so that a child made by
// fork() can free them: a borrow held in the parent by another thread has no
// thread in the child that would ever give it back. (Mutations install their
// results while fork() waits, so the child's index is the one from before or
// after a mutation, never one in between.)
struct BorrowLink {
  BorrowState* state = nullptr;
  BorrowLink* prev = nullptr;
  BorrowLink* next = nullptr;
};

// Links `link` (inside a live object) to `state`; unlink before the object goes.
void track_borrow(BorrowLink& link, BorrowState& state) noexcept;
void untrack_borrow(BorrowLink& link) noexcept;

}  // namespace vb::module
