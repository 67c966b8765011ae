#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"

// What a hash setting would look up, counted on a sample without building an
// index: for one table's draw of k_max digits, which looked-up cell holds each
// true neighbour of a query, and how many sample points the looked-up cells
// hold, for every key length k = 1 .. k_max at once. The tuner prices and
// scores its candidate settings from these.
//
// Digits and probe order are those of the index and its queries (digit.h; the
// nearest bucket boundary first, the lower digit on ties). Rows must be finite.
namespace vb::index {

// One table's digits: digit j reads column s[j] shifted by u[j], in base b.
// A key of k digits uses the first k of them.
struct DigitDraw {
  const std::int64_t* s;
  const double* u;
  std::size_t k_max;
  std::int64_t b;
};

// (count × k_max), row-major: the place of neighbour i of query i / per_query
// among the query's looked-up cells of a key of k digits, in column k - 1:
// 0 its own cell, p its p-th probe (1 <= p <= k), k_max + 1 neither.
// `queries` is q × d, `neighbours` (q · per_query) × d, both row-major.
// Requires: every s entry in [0, d); b >= 2 and b^k_max within int64.
// Runs on the calling thread.
Buffer<std::int64_t> neighbour_places(const double* queries, std::size_t q, const double* neighbours,
                                      std::size_t per_query, std::size_t d, const DigitDraw& draw);

// (k_max × (k_max + 1)), row-major: entry (k - 1, p) is the number of `others`
// rows in the p-th looked-up cell of a key of k digits (p = 0 the own cell),
// summed over the queries. `queries` is q × d, `others` m × d, row-major.
// Requires: as neighbour_places. Runs on the calling thread.
Buffer<std::int64_t> probed_cell_counts(const double* queries, std::size_t q, const double* others,
                                        std::size_t m, std::size_t d, const DigitDraw& draw);

}  // namespace vb::index
