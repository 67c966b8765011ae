#pragma once

#include <algorithm>
#include <cstddef>

#include "pool/pool.h"

namespace vb::query {

// Rows per pool piece for a query call of m rows: at least half of an even
// share per thread. A piece borrows its thread's workspace (lent_workspace.h),
// but one of a thread's first call, or of another shape, costs an index-sized
// array of marks to make, about as much as a few dozen queries on a large
// index; so pieces are kept few (two to four per thread) while an idle thread
// can still take over part of a slow thread's share. A single row runs on the
// calling thread.
inline std::size_t row_grain(std::size_t m) {
  const std::size_t pieces = 2 * pool::num_threads();
  return std::max<std::size_t>(1, (m + pieces - 1) / pieces);
}

}  // namespace vb::query
