#include <algorithm>
#include <bit>
#include <cstring>

#include "query/block_distance.h"
#include "query/blocked.h"
#include "query/bucket_walk.h"

namespace vb::query {

namespace {

// Offers row r the tile candidates its kernel call admitted (group slot g),
// each checked again against the row's current worst kept entry: the kernel
// compared against the bound before the call, which later offers of the same
// row only tighten.
void admit_row(BWs& ws, std::uint32_t r, std::size_t g, std::size_t panels, std::size_t count) {
  Entry* slots = ws.heaps.data() + r * ws.cap;
  const std::size_t cap = ws.cap;
  std::size_t n = ws.counts[r];
  const std::int64_t excluded = ws.exclude[r];
  std::uint32_t bound_bits = n == cap ? slots[0].dist_bits : 0xffffffffu;
  const std::uint16_t* admit = ws.group_admit.data() + g * panels;
  const float* dist = ws.group_dist.data() + g * panels * kPanelWidth;
  for (std::size_t p = 0; p < panels; ++p) {
    // A full row admits few lanes: four panels' words are tested at once.
    if (p % 4 == 0 && p + 4 <= panels) {
      std::uint64_t four = 0;
      std::memcpy(&four, admit + p, sizeof four);
      if (four == 0) {
        p += 3;
        continue;
      }
    }
    unsigned lanes = admit[p];
    if (lanes == 0) continue;
    // Lanes past the tile's last candidate hold no candidate.
    if ((p + 1) * kPanelWidth > count) lanes &= (1u << (count - p * kPanelWidth)) - 1u;
    while (lanes != 0) {
      const std::size_t i = p * kPanelWidth + static_cast<std::size_t>(std::countr_zero(lanes));
      lanes &= lanes - 1;
      const std::uint32_t bits = to_bits(dist[i]);
      if (bits > bound_bits) continue;
      const std::int64_t id = ws.tile_ids[i];
      if (id == excluded || (n == cap && !nearer(Entry{bits, id}, slots[0]))) continue;
      heap_offer(slots, cap, n, bits, id);
      if (n == cap) bound_bits = slots[0].dist_bits;
    }
  }
  ws.counts[r] = static_cast<std::uint32_t>(n);
}

// Every row of a run against the tile, kGroupRows rows per kernel call, each
// row's bound its current worst kept entry.
void refine_tile(const index::Index& index, BWs& ws, TileKernel measure, const BucketRun& run, std::size_t panels,
                 std::size_t count) {
  const std::size_t d = index.d;
  for (std::size_t e = run.first; e < run.first + run.g; e += kGroupRows) {
    const std::size_t rows = std::min(kGroupRows, run.first + run.g - e);
    for (std::size_t g = 0; g < rows; ++g) {
      const std::uint32_t r = ws.row_keys[e + g].row;
      ws.group_rows[g] = ws.query_f32.data() + r * d;
      ws.group_bound[g] = ws.counts[r] == ws.cap ? ws.heaps[r * ws.cap].dist_bits : 0xffffffffu;
    }
    measure(TileJob{ws.group_rows.data(), rows, d, ws.tile(), panels, ws.group_bound.data(), ws.group_dist.data(),
                    ws.group_admit.data(), index.scale_or_null()});
    for (std::size_t g = 0; g < rows; ++g) admit_row(ws, ws.row_keys[e + g].row, g, panels, count);
  }
}

}  // namespace

std::uint64_t query_block(const index::Index& index, BWs& ws, const KnnRows& block) {
  const std::size_t rows = block.m;
  prepare_walk(index, ws, block.queries, rows, block.dq, block.exclude);
  // A row never holds more distinct points than the index has.
  ws.cap = std::min(block.k, index.n_points);
  ws.heaps.resize(rows * ws.cap);
  ws.counts.assign(rows, 0);
  if (index.l == 0 || ws.cap == 0) return 0;
  const Kernels kernels = block_kernels(index);
  // Repeated keys of a row stay: each repeat is measured and counted.
  return walk_buckets(index, ws, kernels.pack, block.queries, rows, block.dq, false,
                      [&](const BucketRun& run, std::size_t panels, std::size_t count) {
                        refine_tile(index, ws, kernels.measure, run, panels, count);
                      });
}

}  // namespace vb::query
