#include "exact_scan/scan.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <thread>
#include <vector>

#include "exact_scan/panels.h"
#include "exact_scan/top_k.h"

namespace vb::exact_scan {

namespace {

// Queries whose collectors stay live while one point tile is reused for all of
// them: a point tile comes from L2 or farther once per this many queries.
constexpr std::size_t kQueryTile = 64;
// Queries per kernel call; their distances to a point tile (8 KiB at most)
// stay in L1 beside the tile until they are offered.
constexpr std::size_t kGroupRows = 8;
// A point tile's coordinates: a third of a 48 KiB L1, reused by every group.
constexpr std::size_t kTileBytes = 16 * 1024;
constexpr std::size_t kMaxTilePanels = 64;

struct Shared {
  const ScanRequest& request;
  const Panels& panels;
  TileKernel kernel;
  std::size_t tile_panels;
  std::size_t query_tiles;
  std::atomic<std::size_t> next_tile{0};
  std::int64_t* ids;
  float* dists;
};

// Per-thread buffers, allocated before the work starts.
struct Workspace {
  explicit Workspace(const Shared& shared)
      : heaps(kQueryTile, TopK(shared.request.k)),
        dist(kGroupRows * shared.tile_panels * kPanelWidth),
        flags(kGroupRows * shared.tile_panels),
        bound(kGroupRows) {}
  std::vector<TopK> heaps;
  std::vector<float> dist;
  std::vector<std::uint16_t> flags;
  std::vector<std::uint32_t> bound;
};

// Offers every flagged point of one kernel call to the collectors of its rows.
// The flags were computed against bounds taken before the call, which can only
// be looser than the current ones, so offer() decides.
void offer_flagged(const Shared& shared, Workspace& ws, const TileJob& job, std::size_t first_row,
                   std::size_t first_panel, TopK* heaps) {
  const std::size_t n = shared.panels.points();
  const std::size_t row_stride = job.panel_count * kPanelWidth;
  for (std::size_t r = 0; r < job.rows; ++r) {
    const std::int64_t query_id = static_cast<std::int64_t>(first_row + r);
    const std::uint16_t* row_flags = ws.flags.data() + r * job.panel_count;
    for (std::size_t p = 0; p < job.panel_count; ++p) {
      // Once the collector is full almost no flag is set: skip four panels at a time.
      if (p % 4 == 0 && p + 4 <= job.panel_count) {
        std::uint64_t word;
        std::memcpy(&word, row_flags + p, sizeof(word));
        if (word == 0) {
          p += 3;
          continue;
        }
      }
      unsigned flags = row_flags[p];
      if (flags == 0) continue;
      const std::size_t base = (first_panel + p) * kPanelWidth;
      // Padding lanes of the last panel are no points.
      if (base + kPanelWidth > n) flags &= (1u << (n - base)) - 1u;
      while (flags != 0) {
        const unsigned lane = static_cast<unsigned>(std::countr_zero(flags));
        flags &= flags - 1;
        const std::int64_t id = static_cast<std::int64_t>(base + lane);
        if (shared.request.exclude_self && id == query_id) continue;
        const float dist = ws.dist[r * row_stride + p * kPanelWidth + lane];
        heaps[r].offer(std::bit_cast<std::uint32_t>(dist), id);
      }
    }
  }
}

void scan_query_tile(Shared& shared, Workspace& ws, std::size_t tile) {
  const ScanRequest& request = shared.request;
  const std::size_t d = shared.panels.dim();
  const std::size_t r0 = tile * kQueryTile;
  const std::size_t rows = std::min(kQueryTile, request.m - r0);
  for (std::size_t i = 0; i < rows; ++i) ws.heaps[i].clear();
  for (std::size_t p0 = 0; p0 < shared.panels.count(); p0 += shared.tile_panels) {
    const std::size_t panel_count = std::min(shared.tile_panels, shared.panels.count() - p0);
    for (std::size_t g0 = 0; g0 < rows; g0 += kGroupRows) {
      const std::size_t group = std::min(kGroupRows, rows - g0);
      for (std::size_t i = 0; i < group; ++i) ws.bound[i] = ws.heaps[g0 + i].bound();
      const TileJob job{request.queries + (r0 + g0) * d, group, d, shared.panels.data() + p0 * d * kPanelWidth,
                        panel_count, ws.bound.data(), ws.dist.data(), ws.flags.data()};
      shared.kernel(job);
      offer_flagged(shared, ws, job, r0 + g0, p0, ws.heaps.data() + g0);
    }
  }
  for (std::size_t i = 0; i < rows; ++i) {
    ws.heaps[i].write_row(shared.ids + (r0 + i) * request.k, shared.dists + (r0 + i) * request.k);
  }
}

void work(Shared& shared, Workspace& ws) {
  for (;;) {
    const std::size_t tile = shared.next_tile.fetch_add(1, std::memory_order_relaxed);
    if (tile >= shared.query_tiles) return;
    scan_query_tile(shared, ws, tile);
  }
}

}  // namespace

std::size_t points_per_tile(std::size_t d) {
  const std::size_t panel_bytes = std::max<std::size_t>(d, 1) * kPanelWidth * sizeof(float);
  return std::clamp<std::size_t>(kTileBytes / panel_bytes, 1, kMaxTilePanels) * kPanelWidth;
}

std::size_t exact_scan(const ScanRequest& request, std::int64_t* ids, float* dists) {
  if (request.m == 0 || request.k == 0) return 1;
  const Panels& panels = *request.points;
  Shared shared{request,
                panels,
                tile_kernel(request.level),
                points_per_tile(panels.dim()) / kPanelWidth,
                (request.m + kQueryTile - 1) / kQueryTile,
                {},
                ids,
                dists};
  const std::size_t threads = std::clamp<std::size_t>(request.threads, 1, shared.query_tiles);
  std::vector<Workspace> workspaces;
  workspaces.reserve(threads);
  for (std::size_t t = 0; t < threads; ++t) workspaces.emplace_back(shared);

  // Workers allocate nothing and cannot fail; a thread that cannot be started
  // unwinds through the jthreads already running, which finish and are joined.
  std::vector<std::jthread> helpers;
  helpers.reserve(threads - 1);
  for (std::size_t t = 1; t < threads; ++t) {
    helpers.emplace_back([&shared, &workspaces, t] { work(shared, workspaces[t]); });
  }
  work(shared, workspaces[0]);
  return threads;
}

}  // namespace vb::exact_scan
