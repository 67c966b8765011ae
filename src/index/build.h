#pragma once

#include <cstddef>
#include <cstdint>

#include "base/buffer.h"
#include "index/index.h"

namespace vb::index {

// Checks what build needs beyond the constructor: k >= 1, l >= 1, b >= 1,
// b^k within the int64 range, n_static <= n, every s entry in [0, d) and,
// with per-axis periods, one period per column.
// Throws ArgumentError naming the first problem; changes nothing.
void validate_build(const Index& index, std::size_t n, std::size_t d, std::size_t n_static);

// The candidate tier of a set of points: keys in candidate order plus the
// sorted runs and their offsets.
struct CandidateTier {
  Buffer<std::int64_t> keys;
  Buffer<std::int64_t> sorted_keys;
  Buffer<std::int64_t> sorted_ids;
  Buffer<std::uint32_t> offsets;
};

// Hashes and sorts rows first .. first + count - 1 of `points` (row-major, d
// columns) as a candidate tier whose ids start at `first`, hashing with
// `kernel`.
CandidateTier make_candidate_tier(const Index& index, kernels::DigitColumnKernel kernel, const double* points,
                                  std::size_t d, std::size_t first, std::size_t count);

// Replaces the index's candidate tier by that of its points n_static .. n_points - 1.
void build_candidate_tier(Index& index);

// Rows of `points` rounded to float, in parallel.
Buffer<float> to_f32(const double* points, std::size_t count);

// out[i] = the byte code of values[i] (kernels/torus_codes.h), in parallel;
// returns how many values lie off the torus.
std::size_t encode_points(const float* values, std::size_t count, std::uint8_t* out);

// Replaces the whole contents of the index by the n × d points (row-major,
// taken over): the first n_static rows become the static tier, the rest the
// candidate tier. Validates first (ArgumentError); every new array is made
// before any field is replaced, so on any exception the index is unchanged.
void build(Index& index, Buffer<double> points, std::size_t n, std::size_t d, std::size_t n_static);

}  // namespace vb::index
