#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::index {

// The byte codes of a tier in key order: l runs of n rows of d codes, row p
// of run t the codes of the point ids[t * n + p], taken from `codes`
// (row-major, d bytes a point id, n_rows rows). A bucket's codes are then one contiguous
// stretch beside its ids, read in order instead of one point row at a time.
// Tables in parallel.
// Requires: every id names a row of `codes` (else InternalError).
Buffer<std::uint8_t> key_ordered_codes(const Index& index, const std::int64_t* ids, std::size_t n,
                                       const std::uint8_t* codes, std::size_t d, std::size_t n_rows);

// Rewrites one run of key-ordered codes (n rows of d bytes) from the run's
// ids, as after the run changed in place. Cannot fail.
// Requires: every id names a row of `codes`.
void refresh_key_ordered_run(const std::int64_t* run_ids, std::size_t n, const std::uint8_t* codes, std::size_t d,
                             std::uint8_t* run_codes) noexcept;

}  // namespace vb::index
