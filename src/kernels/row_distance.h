#pragma once

#include <cstddef>
#include <cstdint>

#include "base/metric.h"
#include "kernels/cpu_level.h"

// The single-precision toroidal distance: per coordinate the torus term of
// torus_term.h (a = |q - x| with the sign bit cleared, then min(a, 1 - a)),
// formed into the summed term by the metric and the axis period as
// base/metric.h states, the terms summed in float. L2 kernels return the
// squared distance.
//
// Summation order, shared by every kernel so that they agree bit for bit:
// coordinate c goes to partial sum c mod 8; the eight partial sums s0..s7 are
// combined as ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)).
namespace vb::kernels {

// Distance of one query to one point, over the first n coordinates of each.
// `scale` holds the n axis periods; kernels of the unit torus ignore it.
using RowDistance = float (*)(const float* q, const float* x, std::size_t n, const float* scale);

// Distances of one query to a list of points: out[i] = distance of q to row
// ids[i] of `points` (row-major, d values per row), over the first n
// coordinates. Prefetches the rows of the candidates 8 positions ahead, since
// candidate ids are scattered over the point array.
// Requires: 1 <= d, n <= d; every ids[i] names a row of `points`.
using ListDistance = void (*)(const float* q, const float* points, std::size_t d, std::size_t n,
                              const std::uint64_t* ids, std::size_t count, const float* scale, float* out);

struct DistanceKernel {
  const char* name;
  RowDistance row;
  ListDistance list;
};

// The plain C++ kernel of a form, built everywhere.
const DistanceKernel& scalar_distance_kernel(Metric metric = Metric::kL1, bool scaled = false);

// The kernel of a level and form. Every level runs the SSE2 kernel on x86-64
// (its baseline) and the plain one elsewhere: one row's few coordinates, read
// from scattered rows, leave nothing for wider vectors to win.
const DistanceKernel& distance_kernel(CpuLevel level, Metric metric = Metric::kL1, bool scaled = false);

// The row kernel of a level and form for rows of exactly d coordinates:
// every call must pass n = d. Fixed-size for d = 8, 16, 24 and 32, the
// level's row kernel otherwise; the same bits as that kernel either way.
RowDistance row_distance_for(CpuLevel level, Metric metric, bool scaled, std::size_t d);

// Rows are prefetched this many candidates ahead of the one being measured.
inline constexpr std::size_t kPrefetchAhead = 8;

}  // namespace vb::kernels
