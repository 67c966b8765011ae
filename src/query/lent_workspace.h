#pragma once

#include <cstddef>
#include <memory>

#include "query/workspace.h"

// Per-thread reuse of the query workspace across calls.
namespace vb::query {

// A workspace lent to one task for as long as the object lives. It is the
// calling thread's own cached workspace when that has the wanted shape and is
// not lent already (a call made from inside a call on the same thread gets a
// fresh one), else a fresh one; either way it goes back to the thread's cache
// when the object dies, unless its lists have grown past kKeptCandidates.
// A call of a few rows then pays neither for allocating nor for clearing an
// index-sized array of marks: its stamps carry on from the thread's last
// gather, and a stamp is never current before the gather that writes it.
// Each thread keeps at most one workspace, of n_points bytes of marks plus
// its lists, until it exits or lends one of another shape.
// Not copyable; use on the thread that made it.
class LentWs {
 public:
  // Lists longer than this are not kept beyond the call that grew them.
  static constexpr std::size_t kKeptCandidates = std::size_t{1} << 16;

  // A workspace as Ws(n_points, dq, digits) makes it, possibly with marks
  // and lists left by earlier gathers (which no new gather reads as its own).
  LentWs(std::size_t n_points, std::size_t dq, std::size_t digits);
  ~LentWs();
  LentWs(const LentWs&) = delete;
  LentWs& operator=(const LentWs&) = delete;

  Ws& operator*() { return *ws_; }

 private:
  std::unique_ptr<Ws> ws_;
};

}  // namespace vb::query
