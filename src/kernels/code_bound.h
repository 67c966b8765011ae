#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/metric.h"
#include "kernels/cpu_level.h"

// Lower bounds on the toroidal distance from byte codes (torus_codes.h).
//
// Two coordinates with codes a and b lie in the intervals [a, a + 1) / 256
// and [b, b + 1) / 256, whose distance on the circle is at least
// (w - 1) / 256 for the wrapped code difference w = |(int8)(a - b)| (-128
// reads as 128): the byte difference taken as a signed byte is the shorter
// way round in units of 1/256. So per coordinate max(w - 1, 0) / 256 is at most
// the term the distance kernels add (L1), and its square at most the squared
// term (L2). The bound B of a pair is the sum of those integers, in units of
// 1/256 (L1) or 1/65536 (L2, squared distances).
//
// The bound holds for the kernels' rounded distances too (the proof is at
// code_limit): a candidate whose bound exceeds the limit made from a
// distance S has a computed distance strictly above S. Such a candidate
// could neither enter a row's k nearest nor pass a radius, and it needs no
// float distance.
//
// With axis periods the kernels scale each term by its axis period before
// forming it. A cube (one period on every axis) scales the bound alike; other
// boxes weigh each coordinate's term by an integer weight in proportion to its
// period, floored (code_scale), so that the weighted bound is worth at least
// the longest period over the largest weight per unit. code_scale folds that
// and the rounding of the scaled terms and their sum into one rate.
namespace vb::kernels {

// Coordinates per code group: a tile keeps each candidate's codes in groups
// of four consecutive bytes, so one 32-bit lane holds four of its coordinates.
inline constexpr std::size_t kCodeGroup = 4;

// The most coordinates a bound is exact for (its sums stay below 2^24 in
// both metrics); wider rows are measured in floats.
inline constexpr std::size_t kMaxCodeDims = 1024;

// Groups of a row of d coordinates (the last one padded with zero codes).
inline constexpr std::size_t code_groups(std::size_t d) { return (d + kCodeGroup - 1) / kCodeGroup; }

// Writes the codes of the d coordinates of q as code_groups(d) groups, the
// padding zero; returns whether every coordinate lies on the torus.
bool encode_query(const float* q, std::size_t d, std::uint8_t* out);

// Lays the codes of rows ids[0 .. count) of `codes` (row-major, d bytes a
// row), or with ids null its first count rows (a run of codes in key order),
// into a code tile of `lanes` lanes: coordinate c of the candidate in lane i
// at ((c / 4) * lanes + i) * 4 + c % 4, the padding coordinates zero.
// Lanes past count are left as they are. Requires: count <= lanes, every id
// names a row of codes.
void pack_code_tile(const std::uint8_t* codes, std::size_t d, const std::int64_t* ids, std::size_t count,
                    std::size_t lanes, std::uint8_t* tile);

// How bounds in code units compare with the distances of one index: a bound
// B proves a computed (summed) distance strictly above S when
// B > floor(S × units).
struct CodeScale {
  double units = 256.0;  // code units per unit of summed distance, never too few
  // Per coordinate the weight of its term, code_groups(d) groups (the padding
  // weighs 0): B sums w × t (L1) or (w × t)^2 (L2) for the codes' term t.
  // Empty when every axis weighs alike (w = 1).
  std::vector<std::uint8_t> weights;
  const std::uint8_t* weights_or_null() const { return weights.empty() ? nullptr : weights.data(); }
};

// The scale of the unit torus: 256 (L1) or 65536 (L2) units, exactly.
inline CodeScale unit_code_scale(Metric metric) { return {metric == Metric::kL2 ? 65536.0 : 256.0, {}}; }

// The smallest weight a box may floor to: a weight of w loses at most 1 / w of
// its axis's term, and boxes whose sides lie further apart than the weights
// can tell (bench/period_codes.py) measure every candidate in floats.
inline constexpr unsigned kMinCodeWeight = 16;

// The scale for rows of d coordinates whose axes have the given periods
// (single precision, as the kernels multiply by them; null for the unit
// torus), or nothing where the weights would not tell the sides apart
// (kMinCodeWeight). Requires: every period positive and finite, within
// period_range(metric); d <= kMaxCodeDims.
std::optional<CodeScale> code_scale(Metric metric, const float* periods, std::size_t d);

// The largest bound that does not prove a computed distance strictly above
// `summed` (a single-precision distance in the kernels' summed form: squared
// for L2), floor(summed × units): survivors are the candidates with bound
// <= limit. -1 for a negative `summed` (no distance on the torus is below
// it), INT32_MAX for +inf or NaN and any limit beyond it.
std::int32_t code_limit(float summed, const CodeScale& scale);

// The limit on the unit torus.
inline std::int32_t code_limit(float summed, Metric metric) { return code_limit(summed, unit_code_scale(metric)); }

// The bound of two rows of d codes each (row-major), the plain way, with the
// d weights of a CodeScale (null: every weight 1).
std::uint32_t pair_bound(const std::uint8_t* a, const std::uint8_t* b, std::size_t d, Metric metric,
                         const std::uint8_t* weights = nullptr);

// The upper bound of two codes on the unit torus: their coordinates lie at
// most min(w + 1, 128) / 256 apart on the circle, and the kernels' rounded
// term never exceeds that float (the proof is at code_upper_bounds), so a
// row's computed distance is at most U / units for U the sum of those
// integers (squared for L2) and units those of unit_code_scale.
//
// One query's codes against a code tile, for upper bounds.
struct CodeUpperJob {
  const std::uint8_t* query;  // code_groups(d) groups
  const std::uint8_t* tile;   // code_groups(d) × lanes × 4 bytes, as pack_code_tile lays them
  std::size_t d;              // coordinates (the padding past them is left out)
  std::size_t lanes;          // the tile's lanes, a multiple of 32
  std::size_t count;          // lanes holding candidates, <= lanes
  std::uint32_t* out;         // count upper bounds, lane by lane
};

// Writes the upper bound U of every lane below count against the query.
// Unweighted: on the unit torus only. Requires: d <= kMaxCodeDims.
// Reentrant; distinct calls write distinct outputs.
using CodeUpperKernel = void (*)(const CodeUpperJob& job);

// The upper-bound kernel of a level and metric; every level writes the same
// bounds. Requires: level <= supported_cpu_level().
CodeUpperKernel code_upper_kernel(CpuLevel level, Metric metric);

// One query's codes against a code tile.
struct CodeBoundJob {
  const std::uint8_t* query;   // code_groups(d) groups
  const std::uint8_t* tile;    // groups × lanes × 4 bytes, as pack_code_tile lays them
  std::size_t groups;
  std::size_t lanes;           // the tile's lanes, a multiple of 32
  std::size_t count;           // lanes holding candidates, <= lanes
  std::int32_t limit;          // code_limit of the bar a candidate must not exceed
  std::uint32_t* survivors;    // ceil(count / 32) words: bit i of word w for lane 32 w + i
  const std::uint8_t* weights = nullptr;  // a CodeScale's weights, groups × 4, for a weighted kernel
};

// Sets the survivor bit of every lane below count whose bound is at most
// job.limit, and clears every other bit. Requires: groups * 4 <= kMaxCodeDims.
// Reentrant; distinct calls write distinct survivors.
using CodeBoundKernel = void (*)(const CodeBoundJob& job);

// The kernel of a level and metric for tiles of `groups` groups (fixed-size
// kernels for the common ones), weighing the terms when `weighted`; all levels
// give the same survivors. Requires: level <= supported_cpu_level(); jobs of
// that many groups, with weights exactly when weighted.
CodeBoundKernel code_bound_kernel(CpuLevel level, Metric metric, std::size_t groups, bool weighted = false);

// The same survivors from rows of codes as they lie in key order (row-major,
// d bytes a row, job.tile pointing at the first, job.lanes unused) instead
// of a packed tile: L1, unweighted, for the row lengths it has a kernel for
// at that level (8 at every level; 16 with AVX-512 BW); null for any other.
// Every level gives the survivors of code_bound_kernel. Reads exactly
// job.count rows.
CodeBoundKernel code_bound_rows_kernel(CpuLevel level, Metric metric, std::size_t d, bool weighted);

}  // namespace vb::kernels
