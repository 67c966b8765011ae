#pragma once

#include <cstddef>
#include <cstdint>

#include "exact_scan/panels.h"
#include "exact_scan/tile_kernel.h"

// The exact brute-force k-nearest-neighbour scan under toroidal L1 in single
// precision: every query is compared with every point.
namespace vb::exact_scan {

struct ScanRequest {
  const Panels* points;  // n points of d coordinates
  const float* queries;  // m × d, row-major, d = points->dim()
  std::size_t m;
  std::size_t k;
  bool exclude_self;     // query i never returns point i (queries are the points)
  std::size_t threads;   // worker threads, at least 1
  ScanLevel level;       // kernel level; Requires: level <= supported_scan_level()
};

// Fills ids and dists (each m × k, row-major): row i holds query i's k nearest
// points ascending by (distance bit pattern, id), padded with id -1 and
// distance +inf when fewer than k points qualify. The distance is the one of
// tile_kernel.h, so results do not depend on the thread count or the level.
// Work is split into tiles of queries taken by the threads in turn; each tile
// is scanned against cache-sized tiles of points.
// Throws std::bad_alloc, or std::system_error when a thread cannot be started;
// all buffers are allocated before the threads start. Returns the number of
// threads used: request.threads, limited to the number of query tiles.
std::size_t exact_scan(const ScanRequest& request, std::int64_t* ids, float* dists);

// Points per tile that keeps a point tile of `d` coordinates within about 16 KiB
// (a multiple of kPanelWidth, at least one panel). Exposed for tests.
std::size_t points_per_tile(std::size_t d);

}  // namespace vb::exact_scan
