#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "kernels/tile_distance.h"
#include "query/blocked.h"
#include "query/bucket_walk.h"
#include "query/nth_smallest.h"
#include "query/prefetch.h"

namespace vb::query {

using kernels::kPanelWidth;
using kernels::TileJob;
using kernels::TileKernel;

namespace {

// Stores row r's filled slots after offers and brings its bar's worst entry
// up to date. A row that was offered nothing keeps both as they are, and its
// slots stay unread: most candidates that pass a bound lose to the row's
// worst entry, and its slots are a miss in a large block.
inline void close_row(BWs& ws, std::uint32_t r, std::size_t n, bool offered) {
  if (!offered) return;
  ws.counts[r] = static_cast<std::uint32_t>(n);
  ws.bars[r].worst_bits = n == ws.cap ? ws.heaps[r * ws.cap].dist_bits : kOpenRow;
}

// Offers row r the tile candidates its kernel call admitted (group slot g),
// each checked again against the row's current worst kept entry: the kernel
// compared against the bound before the call, which later offers of the same
// row only tighten.
void admit_row(BWs& ws, std::uint32_t r, std::size_t g, std::size_t panels, std::size_t count) {
  Entry* slots = ws.heaps.data() + r * ws.cap;
  const std::size_t cap = ws.cap;
  std::size_t n = ws.counts[r];
  const std::int64_t excluded = ws.exclude[r];
  std::uint32_t bound_bits = ws.bars[r].worst_bits;
  const std::uint16_t* admit = ws.group_admit.data() + g * panels;
  const float* dist = ws.group_dist.data() + g * panels * kPanelWidth;
  bool offered = false;
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
      offered = true;
      if (n == cap) bound_bits = slots[0].dist_bits;
    }
  }
  close_row(ws, r, n, offered);
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
      ws.group_bound[g] = ws.bars[r].worst_bits;
    }
    measure(TileJob{ws.group_rows.data(), rows, d, ws.tile(), panels, ws.group_bound.data(), ws.group_dist.data(),
                    ws.group_admit.data(), index.scale_or_null()});
    for (std::size_t g = 0; g < rows; ++g) admit_row(ws, ws.row_keys[e + g].row, g, panels, count);
  }
}

// A limit for row r before its collector is full, from the code tile alone:
// the cap-th smallest upper bound of the tile's candidates other than the
// row's excluded id. Those are cap distinct points (a bucket lists a point
// once), and a candidate whose bound exceeds a point's upper bound lies
// strictly farther than that point, so one whose bound exceeds the cap-th
// smallest is strictly farther than cap other points and never among the
// row's nearest: it needs no float distance. A point the row already keeps
// counts with the same distance it is kept with. With fewer than cap such
// candidates, no limit (INT32_MAX).
std::int32_t open_row_limit(const index::Index& index, BWs& ws, std::uint32_t r, std::size_t count) {
  const std::size_t cap = ws.cap;
  if (count < cap) return std::numeric_limits<std::int32_t>::max();
  const std::size_t code_row = kernels::code_groups(index.d) * kernels::kCodeGroup;
  if (!ws.code_tile_packed) {
    kernels::pack_code_tile(ws.code_rows, index.d, nullptr, count, kCodeTileRows, ws.code_tile.data());
    ws.code_tile_packed = true;
  }
  index.kernels.code_upper(kernels::CodeUpperJob{ws.query_codes.data() + r * code_row, ws.code_tile.data(), index.d,
                                                 kCodeTileRows, count, ws.upper.data()});
  auto end = ws.upper.begin() + static_cast<std::ptrdiff_t>(count);
  const std::int64_t* excluded = std::find(ws.code_ids, ws.code_ids + count, ws.exclude[r]);
  if (excluded != ws.code_ids + count) {
    if (count == cap) return std::numeric_limits<std::int32_t>::max();
    --end;
    std::swap(ws.upper[static_cast<std::size_t>(excluded - ws.code_ids)], *end);
  }
  const std::uint32_t cap_th = nth_smallest(ws.upper.data(), static_cast<std::size_t>(end - ws.upper.begin()), cap - 1);
  return static_cast<std::int32_t>(std::min<std::uint32_t>(cap_th, std::numeric_limits<std::int32_t>::max()));
}

// Every row of a run against the code tile: the candidates whose bound can
// still beat the row's worst kept entry get the float distance of the tile
// kernels (the same bits) and are offered as refine_tile offers them. The
// limit follows the row's worst entry from one code tile to the next. The
// survivors of all rows are listed first and their rows requested, then
// measured: each survivor's row is a miss, and a row has only a few per tile,
// so listing them by row alone would leave the misses one after another.
void refine_code_tile(const index::Index& index, BWs& ws, const kernels::KernelTable& kernels, const BucketRun& run,
                      std::size_t count) {
  const std::size_t d = index.d;
  const std::size_t code_row = kernels::code_groups(d) * kernels::kCodeGroup;
  const std::size_t cap = ws.cap;
  const float* points = index.points_f32.data();
  const float* scale = index.scale_or_null();
  ws.survivor_lanes.clear();
  ws.survivor_ends.clear();
  for (std::size_t e = run.first; e < run.first + run.g; ++e) {
    const std::uint32_t r = ws.row_keys[e].row;
    RowBar& bar = ws.bars[r];
    // The limit changes only with the row's worst entry, far less often than tiles pass.
    if (bar.limit_bits != bar.worst_bits) {
      bar.limit_bits = bar.worst_bits;
      bar.limit = kernels::code_limit(std::bit_cast<float>(bar.worst_bits), index.kernels.code_scale);
    }
    std::int32_t limit = bar.limit;
    // Rows not yet full take a limit from the tile's upper bounds (unit torus
    // only). A full row's worst bits are a distance's, never kOpenRow: codes
    // are measured only for rows on the torus, whose distances are numbers.
    if (kernels.code_upper != nullptr && bar.worst_bits == kOpenRow) {
      limit = std::min(limit, open_row_limit(index, ws, r, count));
    }
    const kernels::CodeBoundKernel bound = ws.code_rows != nullptr ? kernels.code_bound_rows : kernels.code_bound;
    bound(kernels::CodeBoundJob{ws.query_codes.data() + r * code_row,
                                ws.code_rows != nullptr ? ws.code_rows : ws.code_tile.data(),
                                code_row / kernels::kCodeGroup, kCodeTileRows, count, limit, ws.survivors.data(),
                                kernels.code_scale.weights_or_null()});
    const std::size_t listed = ws.survivor_lanes.size();
    list_survivors(index, ws, count);
    // A row with survivors reads its count and collector root next; asking
    // for them now overlaps those misses with the survivors' rows.
    if (ws.survivor_lanes.size() != listed) {
      prefetch_read(ws.counts.data() + r);
      prefetch_read(ws.heaps.data() + r * cap);
    }
  }
  std::size_t at = 0;
  for (std::size_t e = run.first; e < run.first + run.g; ++e) {
    const std::size_t end = ws.survivor_ends[e - run.first];
    if (at == end) continue;  // most rows, once full, have no survivor in a tile: leave their state unread
    const std::uint32_t r = ws.row_keys[e].row;
    Entry* slots = ws.heaps.data() + r * cap;
    std::size_t n = ws.counts[r];
    const std::int64_t excluded = ws.exclude[r];
    const float* q = ws.query_f32.data() + r * d;
    std::uint32_t bound_bits = ws.bars[r].worst_bits;
    bool offered = false;
    for (; at < end; ++at) {
      const std::int64_t id = ws.code_ids[ws.survivor_lanes[at]];
      // The nearest points of a row meet it in most tables, and every bound
      // lets a kept point through again: it is found in the row's own slots,
      // where heap_offer would drop it, before its point row is waited for.
      if (id == excluded || holds(slots, n, id)) continue;
      const std::uint32_t bits = to_bits(kernels.row(q, points + static_cast<std::uint64_t>(id) * d, d, scale));
      if (bits > bound_bits || (n == cap && !nearer(Entry{bits, id}, slots[0]))) continue;
      heap_offer_new(slots, cap, n, bits, id);
      offered = true;
      if (n == cap) bound_bits = slots[0].dist_bits;
    }
    close_row(ws, r, n, offered);
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
  const std::int32_t open_limit =
      ws.codes_first ? kernels::code_limit(std::bit_cast<float>(kOpenRow), index.kernels.code_scale) : 0;
  ws.bars.assign(rows, RowBar{kOpenRow, kOpenRow, open_limit});
  if (ws.codes_first) {
    ws.upper.resize(kCodeTileRows);
    // Only the nearest-neighbour walk has a kernel that reads key-ordered codes in place.
    ws.rows_in_order = index.kernels.code_bound_rows != nullptr;
  }
  if (index.l == 0 || ws.cap == 0) return 0;
  const kernels::KernelTable& kernels = index.kernels;
  // Repeated keys of a row stay: each repeat is measured and counted.
  return walk_buckets(index, ws, kernels.pack, rows, block.dq, false,
                      [&](const BucketRun& run, std::size_t panels, std::size_t count) {
                        refine_tile(index, ws, kernels.tile, run, panels, count);
                      },
                      [&](const BucketRun& run, std::size_t count) {
                        refine_code_tile(index, ws, kernels, run, count);
                      });
}

}  // namespace vb::query
