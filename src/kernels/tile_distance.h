#pragma once

#include <cstddef>
#include <cstdint>

#include "base/metric.h"
#include "kernels/cpu_level.h"

// Distance kernels of the blocked path: a few query rows against a tile of
// candidates laid out in panels.
//
// A panel holds kPanelWidth candidates coordinate-major: coordinate c of the
// panel's candidate j is at [c * kPanelWidth + j], so a vector register holds
// one coordinate of a whole panel and each lane measures its own candidate.
// A tile of panel_count panels is panel_count × d × kPanelWidth floats.
//
// Every kernel computes the single-precision toroidal distance of
// row_distance.h from the torus term of its vector width (torus_term.h) in
// its form (metric and axis periods, base/metric.h; squared for L2) and in
// the summation order documented there (coordinate c into partial sum
// c mod 8, the sums combined as
// ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7))), so all levels agree bit
// for bit with each other and with the per-query refinement.
namespace vb::kernels {

inline constexpr std::size_t kPanelWidth = 16;

// One kernel call: `rows` query rows against `panel_count` panels.
struct TileJob {
  const float* const* queries;  // rows pointers, each to d floats
  std::size_t rows;
  std::size_t d;
  const float* panels;          // panel_count × d × kPanelWidth, 64-byte aligned
  std::size_t panel_count;
  const std::uint32_t* bound;   // rows: each row's admission bound, a distance bit pattern
  float* dist;                  // rows × panel_count × kPanelWidth: row r's distances from r × that
  std::uint16_t* admit;         // rows × panel_count: bit j set when lane j's distance bits <= bound
  const float* scale = nullptr; // d axis periods for a scaled kernel; unread on the unit torus
};

// Fills job.dist and job.admit for every lane of every panel (lanes past the
// tile's last candidate included: the caller ignores them). Bit patterns
// compare as unsigned integers, so a bound of 0xffffffff admits everything.
// Requires: d >= 1, rows >= 1. Reentrant; distinct calls must write distinct
// dist and admit.
using TileKernel = void (*)(const TileJob& job);

// The kernel of a level and form for rows of d coordinates (fixed-dimension
// kernels for the common d, a general one otherwise).
// Requires: level <= supported_cpu_level().
TileKernel tile_kernel(CpuLevel level, std::size_t d, Metric metric = Metric::kL1, bool scaled = false);

// Lays the rows ids[0 .. count) of `points` (row-major, d floats per row)
// into ceil(count / kPanelWidth) panels at `tile` (64-byte aligned), the
// lanes past count zero. Requires: every id names a row of points; d >= 1.
using TilePack = void (*)(const float* points, std::size_t d, const std::int64_t* ids, std::size_t count,
                          float* tile);

// The packing of a level for rows of d coordinates.
// Requires: level <= supported_cpu_level().
TilePack tile_pack(CpuLevel level, std::size_t d);

}  // namespace vb::kernels
