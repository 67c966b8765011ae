#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::index {

// Keys of the points with ids start .. start + count - 1 in every table.
// `points` is row-major with `d` values per row (the index's own coordinates or
// a batch about to become them). Returns l × count keys, table-major: the key
// of point start + i in table t is at t * count + i.
// Runs in parallel on the pool in chunks of 16..1024 points; the result does
// not depend on the number of threads.
// Hashes with the index's digit kernel (index.kernels).
// Requires: every s entry in [0, d); rows start .. start + count - 1 exist.
Buffer<std::int64_t> compute_keys(const Index& index, const double* points, std::size_t d,
                                  std::size_t start, std::size_t count);

// The same with a digit kernel of the caller's choice (a build hashes with
// the kernels it is about to install). Requires: as above, and a kernel for
// a level the CPU supports and the index's b.
Buffer<std::int64_t> compute_keys(const Index& index, kernels::DigitColumnKernel kernel, const double* points,
                                  std::size_t d, std::size_t start, std::size_t count);

// The same over the index's stored coordinates.
Buffer<std::int64_t> compute_keys(const Index& index, std::size_t start, std::size_t count);

// Points per hashing task for a range of `count` points on `threads` threads:
// about four chunks per thread, at least 16 and at most 1024 points.
std::size_t hash_chunk_size(std::size_t count, std::size_t threads);

}  // namespace vb::index
