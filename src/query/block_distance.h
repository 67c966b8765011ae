#pragma once

#include <cstddef>

// Distance kernels of the blocked path: one query row against a tile of
// candidate rows copied contiguously (row-major, d floats per candidate).
//
// Every kernel computes the single-precision toroidal L1 distance of
// distance.h in the summation order documented there (coordinate c into
// partial sum c mod 8, the eight sums combined as
// ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7))), so all levels agree bit
// for bit with each other and with the per-query refinement. Candidates are
// taken four per step, the remainder one at a time.
namespace vb::query {

// out[i] = distance of q (d floats) to tile row i (tile[i*d .. i*d + d)), for
// i < count. Requires: d >= 1; q and tile readable over those ranges.
// Reentrant; distinct calls must write distinct `out`.
using TileDistance = void (*)(const float* q, const float* tile, std::size_t d, std::size_t count, float* out);

enum class BlockLevel { kPortable, kAvx2, kAvx512 };

// The widest level this build and the running CPU support (detected once).
BlockLevel supported_block_level();

// The level the blocked path uses: the supported one, limited by the test cap.
BlockLevel block_level();

// The kernel of a level for rows of d coordinates: a fixed-dimension kernel
// for d = 8, 16 and 24 at the vector levels, a general one otherwise.
// Requires: level <= supported_block_level().
TileDistance tile_distance(BlockLevel level, std::size_t d);

// "portable", "avx2" or "avx512".
const char* block_level_name(BlockLevel level);

// Test hook (C++ only): caps block_level() until reset with kAvx512. Not
// thread-safe with concurrent queries.
void cap_block_level(BlockLevel level);

}  // namespace vb::query
