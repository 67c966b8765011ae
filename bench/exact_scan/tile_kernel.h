#pragma once

#include <cstddef>
#include <cstdint>

// Distance kernels of the exact scan: every query of a small group against
// every point of a tile, in single precision, toroidal L1.
//
// Points are laid out in panels of kPanelWidth points, coordinate-major inside
// a panel: coordinate c of the panel's point j is at [c * kPanelWidth + j], and
// a panel takes d * kPanelWidth floats. A vector register then holds one
// coordinate of a whole panel, and each lane sums the terms of its own pair in
// coordinate order (term 0 first). Every kernel adds in that same order, so all
// levels give the same distances bit for bit.
namespace vb::exact_scan {

inline constexpr std::size_t kPanelWidth = 16;

// One kernel call: `rows` queries against `panel_count` consecutive panels.
struct TileJob {
  const float* queries;         // rows × d, row-major
  std::size_t rows;
  std::size_t d;
  const float* panels;          // panel_count × d × kPanelWidth; 64-byte aligned
  std::size_t panel_count;
  const std::uint32_t* bound;   // rows: per query, the admission bound (a distance bit pattern)
  float* dist;                  // rows × (panel_count × kPanelWidth), row-major: the distances
  std::uint16_t* flags;         // rows × panel_count: bit j set when lane j's distance bits <= bound
};

// Fills job.dist and job.flags. The distance of query q and point x is the sum
// over c < d of min(a, 1 - a) with a = |q[c] - x[c]|, every operation in f32,
// the absolute value by clearing the sign bit, min(a, t) = (a < t ? a : t), the
// sum starting from +0 and adding the terms in coordinate order. As a's sign
// bit is clear, min(a, t) is also the signed integer minimum of the two bit
// patterns, for every input (t negative, -0, infinite or NaN included); the
// vector kernels take that form, which runs on the integer pipes and leaves
// the float adders to the subtractions and the sums. Flags compare
// the distances' bit patterns as unsigned integers, so a bound of 0xffffffff
// admits everything. Padding lanes of a last, partial panel are computed like
// the others; the caller ignores them.
// Thread safety: reentrant; distinct calls must write distinct dist and flags.
using TileKernel = void (*)(const TileJob& job);

// The portable kernel, always built.
void tile_distances_scalar(const TileJob& job);

enum class ScanLevel { kScalar, kAvx2, kAvx512 };

// The widest level this build and the running CPU support (detected once).
ScanLevel supported_scan_level();

// The kernel of a level. Requires: level <= supported_scan_level().
TileKernel tile_kernel(ScanLevel level);

// "scalar", "avx2" or "avx512".
const char* level_name(ScanLevel level);

// The level named `name` (one of the names above); false when the name is unknown.
bool parse_level(const char* name, ScanLevel* level);

}  // namespace vb::exact_scan
