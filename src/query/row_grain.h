#pragma once

#include <algorithm>
#include <cstddef>

#include "pool/pool.h"

namespace vb::query {

// Rows per pool piece for a query call of m rows: at least a quarter of an
// even share per thread. Each piece makes its own workspace (n_points marks),
// so pieces are kept few, a small multiple of the threads, while idle threads
// can still take over the rest of a slow thread's share. A single row runs on
// the calling thread.
inline std::size_t row_grain(std::size_t m) {
  const std::size_t pieces = 4 * pool::num_threads();
  return std::max<std::size_t>(1, (m + pieces - 1) / pieces);
}

}  // namespace vb::query
