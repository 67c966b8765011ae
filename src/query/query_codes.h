#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/index.h"

// Hashing of one query row: its base key in a table, with the per-digit codes
// and in-cell positions, and the multi-probe keys derived from them.
namespace vb::query {

// Base key of query row `q` (dq values) in table t, by the same digit formula
// that keys the stored points, so a query equal to a stored point gets that
// point's key. Fills codes[0..k) with the digit codes (0 .. b - 1) and
// frac[0..k) with the query's position inside each bucket, in [0, 1] (NaN for
// a NaN coordinate). With k = 0 the key is 0 and nothing is written.
// Requires: t < l; codes and frac hold index.k values.
// Throws InternalError when a digit reads a column at or beyond dq.
// Thread safe (reads the index only).
std::int64_t query_codes(const index::Index& index, const double* q, std::size_t dq, std::size_t t,
                         std::int64_t* codes, double* frac);

// The hashing state of a block of query rows, digit by digit over a stretch
// of them: one vector kernel call per digit instead of one formula per row
// and digit. Never shared.
struct BlockCodes {
  std::size_t rows = 0;
  std::vector<double> columns;     // dq × rows: the block's rows, column after column
  std::vector<std::int64_t> base;  // the base keys of the stretch last hashed
  std::vector<std::int64_t> codes; // k × stretch, digit-major: its digit codes
  std::vector<double> frac;        // k × stretch, digit-major: the rows' positions in their buckets
  std::vector<std::int64_t> probes;  // probes × stretch, probe-major: the stretch's probe keys
  // Scratch of block_probe_keys.
  std::vector<double> margin;           // k × stretch, digit-major (k for many probes)
  std::vector<std::int64_t> chosen;     // stretch: the digit each row probes next
  std::vector<std::int64_t> row_codes;  // k: one row's codes, for many probes
  std::vector<double> row_frac;         // k: its positions
  std::vector<std::int64_t> row_probes; // its probe keys

  // Takes the block's rows (rows × dq values, row-major) as columns.
  void set_rows(const double* queries, std::size_t count, std::size_t dq);
};

// Rows hashed per stretch: their codes and positions stay in L1 while their
// probe keys are made.
inline constexpr std::size_t kHashStretch = 256;

// Hashes the block's rows first .. first + count in table t: base[i], and
// codes / frac of row first + i at j × count + i for its digit j, exactly what
// query_codes writes for the row. Throws InternalError, as query_codes does,
// when a digit reads a column at or beyond dq (and count > 0).
// Requires: t < l; set_rows with this dq; first + count <= rows.
void block_codes(const index::Index& index, BlockCodes& block, std::size_t dq, std::size_t t, std::size_t first,
                 std::size_t count);

// Probe keys per table and query: min(k, probes).
std::size_t probe_count(const index::Index& index);

// The probe keys of one table, from the base key and the codes and positions
// that query_codes just wrote: probe p flips the digit whose bucket boundary is
// nearest (smallest margin min(frac, 1 - frac), lower digit on ties, a NaN
// position only when nothing else is left) one bucket towards that boundary,
// wrapping round the circle. Writes probe_count(index) keys to out, nearest
// boundary first; `margin` (index.k values) is scratch.
// Requires: b >= 1 (else InternalError once a probe is made).
void probe_keys(const index::Index& index, std::int64_t base, const std::int64_t* codes, const double* frac,
                double* margin, std::int64_t* out);

// The probe keys of the stretch block_codes last hashed (count rows): probe p
// of row first + i at block.probes[p × count + i], exactly the keys, in the
// order, that probe_keys gives the row from its base key, codes and positions.
// Few probes (up to 4) are chosen for all rows at once, a digit at a time.
// Requires: block_codes(..., first, count) was the last hashing of `block`;
// b >= 1 (else InternalError once a probe is made).
void block_probe_keys(const index::Index& index, BlockCodes& block, std::size_t count);

}  // namespace vb::query
