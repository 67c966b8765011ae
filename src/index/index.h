#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/buffer.h"
#include "base/metric.h"
#include "kernels/kernel_table.h"

namespace vb::index {

// The index: pre-drawn hash parameters, a private copy of every point, the two
// tiers of key-sorted tables. Queries only read it: their profile counters
// are kept beside it by its owner.
//
// Layout conventions:
//  - table-major: `l` consecutive runs of equal length, run t for table t;
//  - a point's id is its row in `points`; static rows come first;
//  - keys are k-digit numbers in base b, digit 0 least significant.
// Thread safety: the index is read concurrently by queries and written only by
// build/update/promote, which the caller runs exclusively.
struct Index {
  // Hash parameters, fixed at construction. s and u are row-major (l, k).
  std::vector<std::int64_t> s;  // coordinate hashed by digit j of table t, at t*k + j
  std::vector<double> u;        // shift added to that coordinate
  std::vector<std::int64_t> b_pow;  // b_pow[j] = b^j, wrapping in 64 bits

  // Coordinates, row-major (n_points, d): double for hashing, float for distances.
  Buffer<double> points;
  Buffer<float> points_f32;

  // Byte codes of points_f32 (kernels/torus_codes.h), row-major (n_points, d),
  // and per tier how many coordinates lie off the torus, where codes bound
  // nothing.
  Buffer<std::uint8_t> codes;
  std::size_t off_torus_static = 0;
  std::size_t off_torus_cand = 0;

  // Static tier: l runs of n_static (key, id) entries sorted by key, and
  // beside them the entries' byte codes (l runs of n_static rows of d bytes,
  // index/key_ordered_codes.h), so that a bucket's codes are read in order.
  Buffer<std::int64_t> static_keys;
  Buffer<std::int64_t> static_ids;
  Buffer<std::uint8_t> static_codes;
  Buffer<std::uint32_t> static_offsets;  // l runs of b^k + 1 bucket starts, or empty

  // Candidate tier: l runs of n_cand entries. cand_keys is in candidate order
  // (entry t*n_cand + j is the key of point n_static + j); the sorted runs are
  // in key order.
  Buffer<std::int64_t> cand_keys;
  Buffer<std::int64_t> cand_sorted_keys;
  Buffer<std::int64_t> cand_sorted_ids;
  Buffer<std::uint32_t> cand_offsets;

  std::int64_t b = 0;       // buckets per digit
  std::size_t k = 0;        // digits per key
  std::size_t l = 0;        // hash tables
  std::size_t probes = 0;   // probe keys per table and query (capped at k)
  std::size_t block = 0;    // rows per query block
  std::size_t d = 0;        // dimension; 0 until the first build
  std::size_t n_points = 0;
  std::size_t n_static = 0;
  bool built = false;       // build has run at least once

  // How distances are measured (base/metric.h): the metric and, per axis, the
  // period in single precision; empty for the unit torus, else d values.
  Metric metric = Metric::kL1;
  std::vector<float> scale;

  // The kernels for d and the form, chosen by choose_kernels: at
  // construction, by every build, and by whoever changes the metric or the
  // periods afterwards.
  kernels::KernelTable kernels;

  // The per-axis periods for the kernels, or null on the unit torus.
  const float* scale_or_null() const { return scale.empty() ? nullptr : scale.data(); }

  // Takes the parameters as given; validates nothing (see validate_build).
  // Requires: s.size() == u.size() == l * k.
  Index(std::int64_t b, std::size_t k, std::size_t l, std::size_t probes,
        std::vector<std::int64_t> s, std::vector<double> u, std::size_t block);

  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  std::size_t n_cand() const { return n_points - n_static; }

  // Whether the codes bound the distance to every point: every coordinate
  // lies on the torus (the periods are weighed when the kernels are chosen:
  // kernels.code_bound is null for sides the weights cannot tell apart).
  bool codes_bound() const { return off_torus_static == 0 && off_torus_cand == 0; }
};

// What the kernels of the index depend on, for a build with rows of d values.
kernels::KernelNeeds kernel_needs(const Index& index, std::size_t d);

// Chooses index.kernels again for its dimension and form, at the CPU level
// and code filter of now (both can be moved by tests). Not thread-safe with
// searches of the same index; the caller holds it exclusively.
void choose_kernels(Index& index);

// b^0 .. b^(k-1), each product wrapping around in two's complement.
std::vector<std::int64_t> powers_of(std::int64_t b, std::size_t k);

}  // namespace vb::index
