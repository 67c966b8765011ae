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

// Lowers each entry of `places` ((q · per_query) × k_max, row-major) to the
// place each of the tables draws[0 .. tables) gives, in turn, neighbour i of
// query i / per_query among the query's looked-up cells of a key of k digits,
// in column k - 1: 0 its own cell, p its p-th probe (1 <= p <= k), k_max + 1
// neither. Starting from k_max + 1 gives the nearest place any of the tables
// gives. `queries` is q × d, `neighbours` (q · per_query) × d, both row-major.
// A row whose place in every column k - 1 is at most settled[k - 1] (k_max
// entries; null: 0 everywhere) before a table is left as it is by that table
// and not hashed: a caller that only asks whether places are at most some
// probe counts has its answers already. With null, every entry ends as the
// minimum.
// Requires: every table of the same k_max and b; every s entry in [0, d);
// b >= 2 and b^k_max within int64; every entry of `places` at most k_max + 1.
// Runs in parallel on the pool, by pieces of whole queries; the result does not
// depend on the number of threads.
void lower_places(const double* queries, std::size_t q, const double* neighbours, std::size_t per_query,
                  std::size_t d, const DigitDraw* draws, std::size_t tables, std::int64_t* places,
                  const std::int64_t* settled = nullptr);

// The same for one table.
inline void lower_places(const double* queries, std::size_t q, const double* neighbours, std::size_t per_query,
                         std::size_t d, const DigitDraw& draw, std::int64_t* places,
                         const std::int64_t* settled = nullptr) {
  lower_places(queries, q, neighbours, per_query, d, &draw, 1, places, settled);
}

// Adds to `counts` (k_max × (k_max + 1), row-major) the number of `others`
// rows in each looked-up cell of this table, summed over the queries: entry
// (k - 1, p) for the p-th looked-up cell of a key of k digits (p = 0 the own
// cell). `queries` is q × d, `others` m × d, row-major.
// Requires: as lower_places. Hashes `others` on the calling thread, then
// looks up the queries in parallel on the pool, by pieces of whole queries; the
// result does not depend on the number of threads.
void add_cell_counts(const double* queries, std::size_t q, const double* others, std::size_t m, std::size_t d,
                     const DigitDraw& draw, std::int64_t* counts);

}  // namespace vb::index
