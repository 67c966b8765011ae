#pragma once

#include <cstddef>
#include <cstdint>

#include "base/metric.h"

// The code bound of one query against single rows of codes (code_bound.h
// has the bound itself and why it never exceeds a computed distance), for a
// search that meets its candidates one by one, as a gather lists them,
// instead of in tiles shared by many queries.
namespace vb::kernels {

// Bytes of a query's code row for rows of d codes: d rounded up to 16, the
// padding zero (a zero against a row's zero padding adds nothing).
inline constexpr std::size_t row_bound_width(std::size_t d) { return (d + 15) / 16 * 16; }

// The bound of query codes q (row_bound_width(d) bytes, zero past d)
// against the d codes of x, in the units of pair_bound: the same value.
// Reads exactly d bytes of x, so a row may end a buffer. Reentrant.
// Requires: d <= kMaxCodeDims.
using RowBound = std::uint32_t (*)(const std::uint8_t* q, const std::uint8_t* x, std::size_t d);

// The bounds of q against `count` consecutive rows of d codes at `rows` (a
// run in key order): out[r] for row r. Reads only the count × d bytes of
// the rows. Reentrant. Requires: d <= kMaxCodeDims.
using RunBound = void (*)(const std::uint8_t* q, const std::uint8_t* rows, std::size_t d, std::size_t count,
                          std::uint32_t* out);

struct RowBoundKernels {
  RowBound row = nullptr;
  RunBound run = nullptr;
};

// The kernels for rows of d codes under a metric: SSE2 on x86-64 (its
// baseline, fixed-size ones for d = 8, 16, 24 and 32), the plain ones
// elsewhere. All give the same bounds.
RowBoundKernels row_bound_kernel(Metric metric, std::size_t d);

// The plain kernels of a metric, built everywhere.
RowBoundKernels portable_row_bound(Metric metric);

}  // namespace vb::kernels
