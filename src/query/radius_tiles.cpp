#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/tile_distance.h"
#include "pool/pool.h"
#include "query/blocked.h"
#include "query/bucket_walk.h"
#include "query/radius.h"
#include "query/radius_rows.h"
#include "query/topk.h"

namespace vb::query {

using kernels::kPanelWidth;
using kernels::TileJob;
using kernels::TileKernel;

namespace {

// A candidate a row kept: block row, distance bits, id.
struct Kept {
  std::uint32_t row;
  std::uint32_t dist_bits;
  std::int64_t id;
};

// Whether every value lies in [+0, 1] (no NaN, no -0). With query and point
// coordinates there, |q - x| <= 1, so every term and every distance is at
// least +0 and a distance is within the threshold exactly when its bits are at
// most the threshold's: the kernel's admission mask then decides. Elsewhere
// (coordinates outside the torus) a term can be negative, and the distances
// are compared as floats, as the gathered path compares them. Read as
// unsigned bits, [+0, 1] is [0, 0x3f800000], a compare that vectorises.
bool in_unit_range(const float* values, std::size_t count) {
  std::uint32_t outside = 0;
  for (std::size_t i = 0; i < count; ++i) outside |= std::bit_cast<std::uint32_t>(values[i]) > 0x3f800000u;
  return outside == 0;
}

// The per-task scratch of the blocked radius search, beside its BWs.
struct RadiusScratch {
  std::vector<char> row_in_range;   // per block row: its query lies in [0, 1]^d
  std::vector<Kept> kept;           // the block's admitted candidates, in walk order
  std::vector<std::size_t> starts;  // per block row, its first entry while they are spread by row
  BlockRows block_rows;             // the block's rows when they are taken out of order
};

struct Threshold {
  float value;
  bool usable_bits;  // value >= 0: the admission mask decides for in-range pairs
};

// Keeps the lanes set in row slot g's admission words, up to `count` lanes.
void keep_admitted(const BWs& ws, std::vector<Kept>& kept, std::uint32_t r, std::size_t g, std::size_t panels,
                   std::size_t count) {
  const std::uint16_t* admit = ws.group_admit.data() + g * panels;
  const float* dist = ws.group_dist.data() + g * panels * kPanelWidth;
  const std::int64_t excluded = ws.exclude[r];
  for (std::size_t p = 0; p < panels; ++p) {
    // Few lanes pass a radius that holds few points: four panels' words are tested at once.
    if (p % 4 == 0 && p + 4 <= panels) {
      std::uint64_t four = 0;
      std::memcpy(&four, admit + p, sizeof four);
      if (four == 0) {
        p += 3;
        continue;
      }
    }
    unsigned lanes = admit[p];
    // Lanes past the tile's last candidate hold no candidate.
    if ((p + 1) * kPanelWidth > count) lanes &= (1u << (count - p * kPanelWidth)) - 1u;
    while (lanes != 0) {
      const std::size_t i = p * kPanelWidth + static_cast<std::size_t>(std::countr_zero(lanes));
      lanes &= lanes - 1;
      if (ws.tile_ids[i] != excluded) kept.push_back({r, to_bits(dist[i]), ws.tile_ids[i]});
    }
  }
}

// Keeps the lanes whose float distance is at most the threshold (never a NaN).
void keep_compared(const BWs& ws, std::vector<Kept>& kept, std::uint32_t r, std::size_t g, std::size_t panels,
                   std::size_t count, float threshold) {
  const float* dist = ws.group_dist.data() + g * panels * kPanelWidth;
  const std::int64_t excluded = ws.exclude[r];
  for (std::size_t i = 0; i < count; ++i) {
    if (dist[i] <= threshold && ws.tile_ids[i] != excluded) kept.push_back({r, to_bits(dist[i]), ws.tile_ids[i]});
  }
}

// Every row of a run against the loaded tile, kGroupRows rows per kernel call.
void measure_tile(const index::Index& index, BWs& ws, RadiusScratch& scratch, TileKernel measure, Threshold threshold,
                  bool scale_in_range, const BucketRun& run, std::size_t panels, std::size_t count) {
  const std::size_t d = index.d;
  const bool tile_in_range = scale_in_range && in_unit_range(ws.tile(), panels * d * kPanelWidth);
  const std::uint32_t bound = threshold.usable_bits ? to_bits(threshold.value) : 0;
  for (std::size_t e = run.first; e < run.first + run.g; e += kGroupRows) {
    const std::size_t rows = std::min(kGroupRows, run.first + run.g - e);
    for (std::size_t g = 0; g < rows; ++g) {
      ws.group_rows[g] = ws.query_f32.data() + ws.row_keys[e + g].row * d;
      ws.group_bound[g] = bound;
    }
    measure(TileJob{ws.group_rows.data(), rows, d, ws.tile(), panels, ws.group_bound.data(), ws.group_dist.data(),
                    ws.group_admit.data(), index.scale_or_null()});
    for (std::size_t g = 0; g < rows; ++g) {
      const std::uint32_t r = ws.row_keys[e + g].row;
      if (!tile_in_range || !scratch.row_in_range[r]) {
        keep_compared(ws, scratch.kept, r, g, panels, count, threshold.value);
      } else if (threshold.usable_bits) {
        keep_admitted(ws, scratch.kept, r, g, panels, count);
      }
    }
  }
}

// Every row of a run against the code tile: the candidates whose bound does
// not prove them beyond the threshold get the float distance of the tile
// kernels (the same bits) and are kept when it is at most the threshold. The
// rows and points all lie on the torus here, where every distance is at
// least +0: comparing floats and comparing bits then keep the same.
void keep_by_codes(const index::Index& index, BWs& ws, RadiusScratch& scratch, const kernels::KernelTable& kernels,
                   Threshold threshold, const BucketRun& run, std::size_t count) {
  const std::size_t d = index.d;
  const std::size_t code_row = kernels::code_groups(d) * kernels::kCodeGroup;
  const std::int32_t limit = kernels::code_limit(threshold.value, index.kernels.code_scale);
  const std::size_t words = (count + 31) / 32;
  const float* points = index.points_f32.data();
  for (std::size_t e = run.first; e < run.first + run.g; ++e) {
    const std::uint32_t r = ws.row_keys[e].row;
    const float* q = ws.query_f32.data() + r * d;
    const std::int64_t excluded = ws.exclude[r];
    kernels.code_bound(kernels::CodeBoundJob{ws.query_codes.data() + r * code_row, ws.code_tile.data(),
                                        code_row / kernels::kCodeGroup, kCodeTileRows, count, limit,
                                        ws.survivors.data(),
                                        kernels.code_scale.weights_or_null()});
    for (std::size_t w = 0; w < words; ++w) {
      for (std::uint32_t lanes = ws.survivors[w]; lanes != 0; lanes &= lanes - 1) {
        const std::size_t i = w * 32 + static_cast<std::size_t>(std::countr_zero(lanes));
        const std::int64_t id = ws.tile_ids[i];
        if (id == excluded) continue;
        const float dist = kernels.row(q, points + static_cast<std::uint64_t>(id) * d, d, index.scale_or_null());
        if (dist <= threshold.value) scratch.kept.push_back({r, to_bits(dist), id});
      }
    }
  }
}

// Spreads the block's kept candidates by row into out (rows in block order),
// then sorts each row by (distance, id) and keeps each id once: a point met in
// several tables or probes comes with the same distance bits every time, so
// its repeats lie side by side.
void write_block_rows(RadiusScratch& scratch, std::size_t rows, FoundRows& out) {
  out.counts.assign(rows, 0);
  for (const Kept& k : scratch.kept) ++out.counts[k.row];
  scratch.starts.resize(rows);
  std::size_t at = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    scratch.starts[r] = at;
    at += out.counts[r];
  }
  out.entries.resize(scratch.kept.size());
  for (const Kept& k : scratch.kept) out.entries[scratch.starts[k.row]++] = Entry{k.dist_bits, k.id};
  std::size_t written = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    // starts[r] now marks the end of row r's spread entries.
    const auto end = out.entries.begin() + static_cast<std::ptrdiff_t>(scratch.starts[r]);
    const auto begin = end - static_cast<std::ptrdiff_t>(out.counts[r]);
    std::sort(begin, end, nearer);
    const auto last = std::unique(begin, end, [](const Entry& a, const Entry& b) { return a.id == b.id; });
    const auto kept = static_cast<std::size_t>(last - begin);
    std::copy(begin, last, out.entries.begin() + static_cast<std::ptrdiff_t>(written));
    written += kept;
    out.counts[r] = kept;
  }
  out.entries.resize(written);
}

// One block: rows of queries (dq values each) and their excluded ids.
void radius_block(const index::Index& index, BWs& ws, RadiusScratch& scratch, const kernels::KernelTable& kernels,
                  Threshold threshold, bool scale_in_range, const double* queries, std::size_t rows, std::size_t dq,
                  const std::int64_t* exclude, FoundRows& out) {
  prepare_walk(index, ws, queries, rows, dq, exclude);
  const std::size_t d = index.d;
  scratch.row_in_range.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) scratch.row_in_range[r] = in_unit_range(ws.query_f32.data() + r * d, d);
  scratch.kept.clear();
  // A row measures each bucket of a table once; repeats across tables remain.
  walk_buckets(index, ws, kernels.pack, rows, dq, true,
               [&](const BucketRun& run, std::size_t panels, std::size_t count) {
                 measure_tile(index, ws, scratch, kernels.tile, threshold, scale_in_range, run, panels, count);
               },
               [&](const BucketRun& run, std::size_t count) {
                 keep_by_codes(index, ws, scratch, kernels, threshold, run, count);
               });
  write_block_rows(scratch, rows, out);
}

}  // namespace

RadiusResult radius_tiled(const index::Index& index, const double* queries, std::size_t m, std::size_t dq,
                          double radius, const std::int64_t* exclude) {
  // A radius of -0 keeps the points at distance 0, as +0 does; its bit
  // pattern, read as a bound on distance bits, would admit everything.
  const float value = radius_threshold(radius, index.metric) + 0.0f;
  // A NaN threshold admits nothing, whatever the coordinates.
  if (index.n_points == 0 || index.l == 0 || m == 0 || value != value) {
    std::vector<FoundRows> none;
    return assemble_rows(none, m, index.metric);
  }
  const Threshold threshold{value, value >= 0.0f};
  // A period with its sign bit set (never from the periodic module, which
  // takes positive ones) would turn terms negative.
  const bool scale_in_range =
      std::none_of(index.scale.begin(), index.scale.end(), [](float p) { return std::signbit(p); });
  const std::size_t per_block = rows_per_block(m, index.block, pool::num_threads());
  const std::size_t blocks = (m + per_block - 1) / per_block;
  const std::vector<std::size_t> order =
      blocks > 1 ? locality_order(index, queries, m, dq) : std::vector<std::size_t>{};
  std::vector<FoundRows> pieces(blocks);
  pool::parallel_for(blocks, 1, [&](std::size_t b0, std::size_t b1) {
    BWs ws;
    RadiusScratch scratch;
    const kernels::KernelTable& kernels = index.kernels;
    for (std::size_t blk = b0; blk < b1; ++blk) {
      const std::size_t row0 = blk * per_block;
      const std::size_t rows = std::min(per_block, m - row0);
      scratch.block_rows.select(queries, exclude, dq, order, row0, rows);
      FoundRows& piece = pieces[blk];
      radius_block(index, ws, scratch, kernels, threshold, scale_in_range, scratch.block_rows.rows, rows, dq,
                   scratch.block_rows.exclude, piece);
      piece.rows.resize(rows);
      for (std::size_t r = 0; r < rows; ++r) piece.rows[r] = BlockRows::batch_row(order, row0, r);
    }
  });
  return assemble_rows(pieces, m, index.metric);
}

}  // namespace vb::query
